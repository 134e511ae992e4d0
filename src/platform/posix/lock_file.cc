#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kelo {

namespace {

bool usersRegularFile(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == geteuid();
}

// Removes what stands at `path`: a folder only when it is empty.
bool removeStandIn(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return errno == ENOENT;
  }
  return (S_ISDIR(status.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) == 0;
}

}  // namespace

int openLockFile(const std::string& path, int createFlags) {
  // Twice at most: once as it is, and once after what stood there was removed.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int descriptor =
        open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | createFlags, 0600);
    if (descriptor >= 0) {
      struct stat status {};
      if (fstat(descriptor, &status) == 0 && usersRegularFile(status)) {
        return descriptor;
      }
      close(descriptor);
    } else if (errno == ENOENT) {
      return -1;
    } else if (errno == EEXIST) {
      struct stat status {};
      if (lstat(path.c_str(), &status) == 0 && usersRegularFile(status)) {
        errno = EEXIST;
        return -1;
      }
    }
    // A link (ELOOP), a folder (EISDIR), a file the user may not read (EACCES), or something
    // opened that is not a regular file of the user's.
    if (!removeStandIn(path)) {
      return -1;
    }
  }
  errno = EEXIST;  // something stood there again at once
  return -1;
}

}  // namespace kelo
