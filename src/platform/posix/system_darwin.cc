// macOS: neither pipe2 nor a closefrom file action exists. Pipe ends are marked close-on-exec
// right after they are made, and POSIX_SPAWN_CLOEXEC_DEFAULT closes in the child every
// descriptor that no file action names, which also covers a pipe that another thread made a
// moment earlier and has not marked yet. A kqueue with EVFILT_PROC and NOTE_EXIT tells of a
// child's exit without reaping it (waitid with WNOWAIT is reported to misbehave here).
#include <fcntl.h>
#include <pwd.h>
#include <sys/event.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/posix/system.h"

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

void inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& flags) {
  // Under the flag only named descriptors survive: the dup2 actions name 1 and 2, and standard
  // input must be named too, or the child starts with it closed.
  posix_spawn_file_actions_addinherit_np(&actions, STDIN_FILENO);
  flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
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
