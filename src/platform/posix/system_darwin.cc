// macOS: neither pipe2 nor a closefrom file action exists. Pipe ends are marked close-on-exec
// right after they are made, and POSIX_SPAWN_CLOEXEC_DEFAULT closes in the child every
// descriptor that no file action names, which also covers a pipe that another thread made a
// moment earlier and has not marked yet.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/spawn_support.h"

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

}  // namespace kelo::posix
