// Linux (glibc 2.34 and later, Linux 5.9 and later): pipe2 creates both ends close-on-exec
// atomically, close_range closes every inherited descriptor in the child, a parent-death
// signal ends a child with the tool, and a pidfd tells of a child's exit without reaping it. The
// tool is linked statically here (its start costs a third less without the dynamic loader), and a
// static program cannot load the C library's name-service modules reliably, so the user database is
// /etc/passwd, read as the "files" source reads it.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errno_text.h"
#include "platform/posix/system.h"

extern char** environ;

namespace kelo::posix {

bool openPipe(std::array<int, 2>& ends) {
  return pipe2(ends.data(), O_CLOEXEC) == 0;
}

namespace {

// In the child, until the exec: what runs here only makes system calls, with values on this
// stack, so that it may share the parent's memory. Signals are all blocked on entry. The tool's
// handlers must never run in the child: each goes back to its default before anything is
// unblocked. A failure is written to `report` before the child ends.
[[noreturn]] void execInChild(const char* program, char* const arguments[], int output, int error,
                              pid_t parent, int report) {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
        current.sa_handler != SIG_DFL) {
      sigaction(signal, &standard, nullptr);
    }
  }
  sigaction(SIGPIPE, &standard, nullptr);
  sigaction(SIGXFSZ, &standard, nullptr);
  int failure = 0;
  // The death signal comes when the starting thread ends; a tool that ended before it was
  // asked for is seen in the parent process id.
  if (setpgid(0, 0) != 0 || prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent ||
      dup2(output, STDOUT_FILENO) < 0 || dup2(error, STDERR_FILENO) < 0) {
    failure = errno != 0 ? errno : ESRCH;
  } else {
    // Every descriptor above standard error goes but the report pipe, which the exec closes.
    syscall(SYS_close_range, STDERR_FILENO + 1, report - 1, 0);
    syscall(SYS_close_range, report + 1, ~0u, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe): one thread here
    execve(program, arguments, environ);
    failure = errno;
  }
  (void)!write(report, &failure, sizeof failure);
  _exit(127);
}

}  // namespace

std::expected<pid_t, int> spawn(const char* program, char* const arguments[], int output,
                                int error) {
  const pid_t parent = getpid();
  // A failed exec reports its errno through this pipe; a successful one closes it.
  std::array<int, 2> report{};
  if (pipe2(report.data(), O_CLOEXEC) != 0) {
    return std::unexpected(errno);
  }
  // vfork, not posix_spawn: only a child that runs code of ours before the exec can ask for the
  // parent-death signal. Not fork either: the child borrows this thread's memory until its exec
  // instead of copying the tool's page tables, which a per-app connect would do a thousand times.
  // This thread waits meanwhile; the child runs as the C library's posix_spawn runs its own.
  const int reportEnd = report[1];
  // NOLINTNEXTLINE(bugprone-unsafe-functions,clang-analyzer-security.insecureAPI.vfork): see above
  const pid_t child = vfork();
  if (child == 0) {
    // NOLINTNEXTLINE(clang-analyzer-unix.Vfork): it makes system calls only, then execs or exits
    execInChild(program, arguments, output, error, parent, reportEnd);
  }
  if (child < 0) {
    const int failure = errno;
    close(report[0]);
    close(report[1]);
    return std::unexpected(failure);
  }
  close(report[1]);
  int failure = 0;
  ssize_t got = -1;
  while ((got = read(report[0], &failure, sizeof failure)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return std::unexpected(failure);
  }
  return child;
}

std::expected<ExitWatch, int> watchExit(pid_t child) {
  // Close-on-exec by definition; readable once the process has exited, reaped or not.
  const auto descriptor = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (descriptor < 0) {
    return std::unexpected(errno);
  }
  return ExitWatch{descriptor, false};
}

void adoptOrphans() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

std::optional<long> userProcessCount() {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) {
    return std::nullopt;
  }
  const int folder = dirfd(processes);
  if (folder < 0) {
    closedir(processes);
    return std::nullopt;
  }
  const uid_t user = getuid();
  long count = 0;
  while (const dirent* entry = readdir(processes)) {  // NOLINT(concurrency-mt-unsafe): own stream
    struct stat owner {};
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9' ||
        fstatat(folder, entry->d_name, &owner, 0) != 0 || owner.st_uid != user) {
      continue;
    }
    // Its threads: the 20th field of its stat line, the 18th after the name's closing bracket.
    long threads = 1;
    const std::string stat = "/proc/" + std::string(entry->d_name) + "/stat";
    if (std::FILE* file = std::fopen(stat.c_str(), "re")) {
      std::array<char, 1024> line{};
      if (std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
        const char* field = std::strrchr(line.data(), ')');
        for (int skipped = 0; field != nullptr && skipped < 18; ++skipped) {
          field = std::strchr(field + 1, ' ');
        }
        if (field != nullptr) {
          threads = std::max(1L, std::strtol(field + 1, nullptr, 10));
        }
      }
      std::fclose(file);
    }
    count += threads;
  }
  closedir(processes);
  return count;
}

std::optional<std::string> userDatabaseHome() {
  std::FILE* database = std::fopen("/etc/passwd", "re");
  if (database == nullptr) {
    return std::nullopt;
  }
  std::optional<std::string> home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* read = nullptr;
  while (fgetpwent_r(database, &entry, buffer.data(), buffer.size(), &read) == 0) {
    if (read->pw_uid == getuid() && read->pw_dir != nullptr && *read->pw_dir != '\0') {
      home = read->pw_dir;
      break;
    }
  }
  std::fclose(database);
  return home;
}

}  // namespace kelo::posix
