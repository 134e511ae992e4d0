// Runs a program and prints its peak resident memory in KiB and its exit status. A child counts
// the resident memory of the process it was started from as its own until it runs its program,
// so the figures of a program are taken from this process, which holds next to nothing.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdio>

extern char** environ;

int main(int argc, char** argv) {
  pid_t child = -1;
  if (argc < 2 || posix_spawn(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
    return 127;
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  std::fprintf(stderr, "%ld %d\n", usage.ru_maxrss,
               WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
  return 0;
}
