// macOS: neither pipe2 nor a closefrom file action exists, nor a parent-death signal: a child
// of a tool that was killed outright runs on until it ends by itself. Pipe ends are marked
// close-on-exec right after they are made, and POSIX_SPAWN_CLOEXEC_DEFAULT closes in the child
// every descriptor that no file action names, which also covers a pipe that another thread made a
// moment earlier and has not marked yet. A kqueue with EVFILT_PROC and NOTE_EXIT tells of a
// child's exit without reaping it (waitid with WNOWAIT is reported to misbehave here).
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/event.h>
#include <sys/sysctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/posix/system.h"

extern char** environ;  // declared by no header on macOS

namespace kelo::posix {

bool openPipe(std::array<int, 2>& ends) {
  if (pipe(ends.data()) != 0) {
    return false;
  }
  for (const int end : ends) {
    if (fcntl(end, F_SETFD, FD_CLOEXEC) != 0) {
      const int error = errno;
      close(ends[0]);
      close(ends[1]);
      errno = error;
      return false;
    }
  }
  return true;
}

std::expected<pid_t, int> spawn(const char* program, char* const arguments[], int output,
                                int error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error, STDERR_FILENO);
  // Under the flag only named descriptors survive: the dup2 actions name 1 and 2, and standard
  // input must be named too, or the child starts with it closed.
  posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // The child starts with no signal blocked and SIGPIPE and SIGXFSZ at their defaults, which the
  // tool ignores for itself; a signal that the tool's own caller ignored stays ignored, and one
  // the tool handles is at its default after the exec anyway.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &unblocked);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_CLOEXEC_DEFAULT);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, program, &actions, &attributes, arguments, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    return std::unexpected(spawned);
  }
  return child;
}

std::expected<ExitWatch, int> watchExit(pid_t child) {
  // A kqueue is never inherited by a child; the descriptor is readable once an event is queued.
  const int queue = kqueue();
  if (queue < 0) {
    return std::unexpected(errno);
  }
  struct kevent exit {};
  EV_SET(&exit, static_cast<uintptr_t>(child), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
         nullptr);
  if (kevent(queue, &exit, 1, nullptr, 0, nullptr) != 0) {
    const int error = errno;
    if (error == ESRCH) {
      return ExitWatch{queue, true};  // already exited: an unreaped child is still ours
    }
    close(queue);
    return std::unexpected(error);
  }
  return ExitWatch{queue, false};
}

void adoptOrphans() {}  // launchd reaps what the tool's children leave behind

std::optional<long> userProcessCount() {
  std::array<int, 4> query = {CTL_KERN, KERN_PROC, KERN_PROC_RUID, static_cast<int>(getuid())};
  std::size_t size = 0;
  if (sysctl(query.data(), query.size(), nullptr, &size, nullptr, 0) != 0) {
    return std::nullopt;
  }
  // The size asked for first leaves room for a few processes more.
  std::vector<kinfo_proc> processes(size / sizeof(kinfo_proc) + 1);
  size = processes.size() * sizeof(kinfo_proc);
  if (sysctl(query.data(), query.size(), processes.data(), &size, nullptr, 0) != 0) {
    return std::nullopt;
  }
  return static_cast<long>(size / sizeof(kinfo_proc));
}

std::optional<std::string> userDatabaseHome() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

}  // namespace kelo::posix
