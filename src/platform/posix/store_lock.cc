// The store lock as a queue of numbered turns in the store's folder, each a file that its run
// holds with flock from the moment it asks until it is done:
// - `kelo-ne-manager-queue.lock`, held for a moment by a run that asks for a turn, hands out
//   the numbers: one more than the highest turn whose file is there;
// - `kelo-ne-manager-turn-<number>.lock` is a run's turn. The run waits for the lock of each
//   lower turn in order; it gets one once that turn's run has removed its file and let go, or
//   has died, which lets go too. A file that a dead run left is removed by the run that finds
//   it so, under its lock.
// Every file is made mode 0600 whatever the umask, so that no run can leave the next unable to
// open it. A run that a signal ends removes its turn's file in the handler (change_gate.h).
#include "platform/store_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "platform/change_gate.h"
#include "platform/errno_text.h"
#include "platform/lock_file.h"
#include "platform/signals_blocked.h"

namespace kelo {

namespace {

constexpr char kQueueName[] = "kelo-ne-manager-queue.lock";
constexpr std::string_view kTurnPrefix = "kelo-ne-manager-turn-";
constexpr std::string_view kTurnSuffix = ".lock";

std::unexpected<PlatformError> failed(const std::string& why) {
  return std::unexpected(PlatformError{"The profile store could not be locked: " + why});
}

std::string turnName(std::uint64_t number) {
  std::array<char, 21> digits{};
  std::snprintf(digits.data(), digits.size(), "%020llu", static_cast<unsigned long long>(number));
  return std::string(kTurnPrefix) + digits.data() + std::string(kTurnSuffix);
}

// The numbers of the turns whose files are in the folder, in order.
std::vector<std::uint64_t> turnsIn(const std::string& folder) {
  std::vector<std::uint64_t> turns;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    return turns;
  }
  while (const dirent* entry = readdir(listing)) {  // NOLINT(concurrency-mt-unsafe): own stream
    std::string_view name(entry->d_name);
    if (!name.starts_with(kTurnPrefix) || !name.ends_with(kTurnSuffix)) {
      continue;
    }
    name = name.substr(kTurnPrefix.size(), name.size() - kTurnPrefix.size() - kTurnSuffix.size());
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (error == std::errc() && end == name.data() + name.size()) {
      turns.push_back(number);
    }
  }
  closedir(listing);
  std::ranges::sort(turns);
  return turns;
}

// Opens (creating it mode 0600 if need be, and replacing what is not a lock file there) and
// locks a file; -1 with errno set on failure.
int openLocked(const std::string& path, int flags) {
  const int descriptor = openLockFile(path, flags);
  if (descriptor < 0) {
    return -1;
  }
  struct stat status {};
  if (fstat(descriptor, &status) != 0 ||
      ((status.st_mode & 07777) != 0600 && fchmod(descriptor, 0600) != 0)) {
    const int error = errno;
    close(descriptor);
    errno = error;
    return -1;
  }
  while (flock(descriptor, LOCK_EX) != 0) {
    if (errno != EINTR) {
      const int error = errno;
      close(descriptor);
      errno = error;
      return -1;
    }
  }
  return descriptor;
}

// Whether `path` still names the file open on `descriptor`.
bool stillNamed(int descriptor, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return fstat(descriptor, &held) == 0 && lstat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

// Asks for a turn: its file, created and locked, with the number after every turn there, which
// are the turns it waits for (`earlier`): any asked for later has a higher number.
std::expected<StoreLock, PlatformError> askForTurn(const std::string& folder,
                                                   std::vector<std::uint64_t>& earlier) {
  const std::string queuePath = folder + "/" + kQueueName;
  const int queue = openLocked(queuePath, O_CREAT);
  if (queue < 0) {
    return failed(queuePath + ": " + errnoText(errno) + ".");
  }
  earlier = turnsIn(folder);
  const std::uint64_t number = earlier.empty() ? 1 : earlier.back() + 1;
  const std::string path = folder + "/" + turnName(number);
  int turn = -1;
  {
    // Noted for the handler that may end the run while the turn is held.
    const SignalsBlocked blocked;
    turn = openLocked(path, O_CREAT | O_EXCL);
    if (turn >= 0) {
      changes::noteHeldLock(path.c_str());
    }
  }
  const int error = errno;
  close(queue);
  if (turn < 0) {
    return failed(path + ": " + errnoText(error) + ".");
  }
  return StoreLock(turn, path);
}

}  // namespace

StoreLock::~StoreLock() {
  if (descriptor_ >= 0) {
    {
      const SignalsBlocked blocked;
      changes::forgetHeldLock();
    }
    unlink(path_.c_str());  // still held: a run waiting for it finds the name gone
    close(descriptor_);
  }
}

std::expected<StoreLock, PlatformError> lockProfileStore(StoreUse use) {
  const auto found = profileStoreFolder(use == StoreUse::mayCreate);
  // The store itself cannot be used: each of its operations fails with the reason, and so
  // nothing can change, in this run or another, that a lock would have to order. Or it does not
  // exist yet, and this run will not create it.
  const std::string folder = found ? found->value_or("") : "";
  if (folder.empty()) {
    return StoreLock(-1, {});
  }
  std::vector<std::uint64_t> earlier;
  auto turn = askForTurn(folder, earlier);
  if (!turn) {
    return turn;
  }
  // Every earlier turn, oldest first: its lock comes free when its run has ended.
  for (const std::uint64_t number : earlier) {
    const std::string path = folder + "/" + turnName(number);
    const int descriptor = openLocked(path, 0);
    if (descriptor < 0) {
      if (errno == ENOENT) {
        continue;  // ended between the listing and now
      }
      return failed(path + ": " + errnoText(errno) + ".");
    }
    if (stillNamed(descriptor, path)) {
      unlink(path.c_str());  // its run died holding it
    }
    close(descriptor);
  }
  return turn;
}

}  // namespace kelo
