// The lock that orders the runs that change profiles ("connect", "disconnect",
// "update-app-rules"): each holds it for its whole run, so that the last request wins instead
// of two interleaving their loads, saves, starts and stops. "status" takes none.
//
// One lock guards one store of profiles: runs against the same store wait for each other, runs
// against another (another user's; on the simulated platform, another home's) do not. It lives
// in a folder private to the user (the per-user runtime or temporary folder) and is removed by
// the run that releases it, so nothing lasts. Main thread; waiting for it is ended by the
// deadline's handler like every other wait.
#pragma once

#include <expected>
#include <string>
#include <utility>

#include "platform/platform_error.h"

namespace kelo {

class StoreLock {
 public:
  StoreLock(int descriptor, std::string path) : descriptor_(descriptor), path_(std::move(path)) {}
  StoreLock(StoreLock&& other) noexcept
      : descriptor_(std::exchange(other.descriptor_, -1)), path_(std::move(other.path_)) {}
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  StoreLock& operator=(StoreLock&&) = delete;
  ~StoreLock();

 private:
  int descriptor_;
  std::string path_;
};

// Waits until the lock of this user's store of profiles is free and takes it.
std::expected<StoreLock, PlatformError> lockProfileStore();

// The name of the store of profiles that the NetworkExtension backend works on: what tells one
// store from another. Implemented by the backend.
std::string profileStoreName();

}  // namespace kelo
