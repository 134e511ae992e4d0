// Linux (glibc 2.34 and later, Linux 5.3 and later): pipe2 creates both ends close-on-exec
// atomically, the spawn file actions can close every inherited descriptor, and a pidfd tells
// of a child's exit without reaping it. The tool is linked statically here (its start costs a
// third less without the dynamic loader), and a static program cannot load the C library's
// name-service modules reliably, so the user database is /etc/passwd, read as the "files"
// source reads it.
#include <fcntl.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/posix/system.h"

namespace kelo::posix {

bool openPipe(std::array<int, 2>& ends) {
  return pipe2(ends.data(), O_CLOEXEC) == 0;
}

void inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& /*flags*/) {
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

std::expected<ExitWatch, int> watchExit(pid_t child) {
  // Close-on-exec by definition; readable once the process has exited, reaped or not.
  const auto descriptor = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  if (descriptor < 0) {
    return std::unexpected(errno);
  }
  return ExitWatch{descriptor, false};
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
