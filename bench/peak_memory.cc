// Runs a program and writes its peak resident memory in KiB and its exit status to FIGURES:
//   kelo_peak_memory FIGURES PROGRAM [ARGUMENT...]
// A child counts the resident memory of the process it was started from as its own until it
// runs its program, so the figures of a program are taken from this process, which holds next
// to nothing.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  pid_t child = -1;
  if (argc < 3 || posix_spawn(&child, argv[2], nullptr, nullptr, argv + 2, environ) != 0) {
    return 127;
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  std::FILE* figures = std::fopen(argv[1], "w");
  if (figures == nullptr) {
    return 1;
  }
  std::fprintf(figures, "%ld %d\n", usage.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return std::fclose(figures) == 0 ? 0 : 1;
}
