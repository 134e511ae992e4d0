// Linux (glibc 2.34 and later): pipe2 creates both ends close-on-exec atomically, and the
// spawn file actions can close every inherited descriptor.
#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/spawn_support.h"

namespace kelo::posix {

bool openPipe(std::array<int, 2>& ends) {
  return pipe2(ends.data(), O_CLOEXEC) == 0;
}

void inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& /*flags*/) {
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

}  // namespace kelo::posix
