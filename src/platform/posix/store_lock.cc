// The store lock as a file in a folder private to the user, taken with flock. The run that
// releases it removes the file while it still holds it; a run that then gets the lock on the
// removed file sees that the name no longer leads to it, and tries again on a new one.
#include "platform/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/errno_text.h"
#include "platform/posix/system.h"

namespace kelo {

namespace {

std::unexpected<PlatformError> failed(const std::string& why) {
  return std::unexpected(PlatformError{"The profile store could not be locked: " + why});
}

// The lock's file name for a store: a hash of its name, so that any name makes a file name.
std::string fileNameFor(const std::string& store) {
  std::uint64_t hash = 14695981039346656037u;  // FNV-1a
  for (const unsigned char byte : store) {
    hash = (hash ^ byte) * 1099511628211u;
  }
  std::array<char, 17> hex{};
  std::snprintf(hex.data(), hex.size(), "%016llx", static_cast<unsigned long long>(hash));
  return std::string("kelo-ne-manager-") + hex.data() + ".lock";
}

}  // namespace

StoreLock::~StoreLock() {
  if (descriptor_ >= 0) {
    unlink(path_.c_str());  // still held: no other run can have taken this file meanwhile
    close(descriptor_);
  }
}

std::expected<StoreLock, PlatformError> lockProfileStore() {
  const auto folder = posix::privateRuntimeFolder();
  if (!folder) {
    return failed(folder.error() + ".");
  }
  const std::string path = *folder + "/" + fileNameFor(profileStoreName());
  for (;;) {
    const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor < 0) {
      return failed(path + ": " + errnoText(errno) + ".");
    }
    while (flock(descriptor, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int error = errno;
        close(descriptor);
        return failed(path + ": " + errnoText(error) + ".");
      }
    }
    struct stat held {};
    struct stat named {};
    if (fstat(descriptor, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      return StoreLock(descriptor, path);
    }
    close(descriptor);  // the run before removed it on release: the lock is a new file now
  }
}

}  // namespace kelo
