// The lock that orders the runs that change profiles ("connect", "disconnect",
// "update-app-rules"): each holds it for its whole run, so that the last request wins instead
// of two interleaving their loads, saves, starts and stops. "status" takes none.
//
// One lock guards one store of profiles, and lives in a folder that belongs to that store
// (the backend names it): runs against the same store wait for each other however the way to
// it is spelled, runs against another (another user's; on the simulated platform, another
// home's) do not. Waiting runs take their turns in the order they asked, and a run that dies
// while it waits or holds the lock gives up its turn with its descriptors. Main thread; waiting
// for it is ended by the deadline's handler like every other wait.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform_error.h"

namespace kelo {

// A turn that is held: released, and its file removed, when it is destroyed.
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

// Whether a run may create profiles ("connect"), or only changes those there are.
enum class StoreUse { mayCreate, changesWhatIsThere };

// Takes a turn in the queue of this user's store of profiles and waits until every turn asked
// for before it has ended. Where the store's folder cannot be had, the store's own operations
// fail with the reason, nothing can change, and the lock holds nothing; where it does not exist
// yet, a run that creates nothing finds nothing to change, and the lock holds nothing either
// (nothing is created for it).
std::expected<StoreLock, PlatformError> lockProfileStore(StoreUse use);

// The folder of the store of profiles that the NetworkExtension backend works on, where the
// lock's files live: one that only the user can write to and that belongs to that store alone.
// Created (mode 0700) when it is missing and `create` is true; without `create`, none when it
// is missing. Fails where the backend's own operations on the store fail too. Implemented by
// the backend.
std::expected<std::optional<std::string>, PlatformError> profileStoreFolder(bool create);

}  // namespace kelo
