#include "tunnel/status_wait.h"

#include <algorithm>
#include <memory>
#include <optional>

#include "payloads/progress.h"

namespace kelo::tunnel {

namespace {

// How soon a load that failed after a change is tried again, and how often the profiles are
// looked at where the platform cannot say when they change.
constexpr std::chrono::milliseconds kLookAgain{20};
// How long past the wait's end a load may take: a platform that does not answer holds the wait
// this much longer, not to the run's deadline.
constexpr std::chrono::milliseconds kLoadGrace{500};

}  // namespace

Result<ManagerPointer> awaitStatus(std::span<const NEVPNStatus> until,
                                   runloop::Clock::time_point end, Deadline deadline) {
  // Observed before the first load, so that no change made meanwhile goes unnoticed. The
  // handlers run on the main thread, during a turn of its run loop, which they end.
  const auto mustLoad = std::make_shared<bool>(true);
  const auto configuration = observeConfigurationChange([mustLoad] { *mustLoad = true; });
  ManagerPointer first;
  std::unique_ptr<NEVPNObserver> statusChanges;
  // A load after a change may catch the preferences half-written by whoever changes them: it
  // is tried again, and its failure answered only if it still fails when the time is up.
  std::optional<Error> unreadable;
  bool loadedOnce = false;
  // The time-out answers what the store holds then, read once more: a change the notifications
  // missed (a folder above the store's moved away, say) is not answered as if it had not been.
  bool readAtTheEnd = false;
  const Deadline loadBound = std::min(deadline, end + kLoadGrace);
  for (;;) {
    if (*mustLoad) {
      *mustLoad = false;
      auto loaded = loadAllManagers(loadBound);
      if (!loaded && (!loadedOnce || runloop::Clock::now() >= deadline || changes::mustStop())) {
        return std::unexpected(loaded.error());
      }
      if (loaded) {
        loadedOnce = true;
        unreadable.reset();
        statusChanges.reset();
        first = loaded->empty() ? nullptr : loaded->front();
        if (first) {
          // Nothing to note: the turn it ends is followed by a fresh read of the status.
          statusChanges = first->connection().observeStatusDidChange([] {});
        }
      } else {
        unreadable = loaded.error();
      }
      progress::enter(Step::wait);
    }
    const NEVPNStatus status = first ? first->connection().status() : NEVPNStatusInvalid;
    const auto now = runloop::Clock::now();
    if (unreadable && now >= end) {
      return std::unexpected(*unreadable);
    }
    if (!unreadable && std::ranges::find(until, status) != until.end()) {
      return first;
    }
    if (!unreadable && now >= end) {
      if (readAtTheEnd) {
        return first;
      }
      readAtTheEnd = *mustLoad = true;
      continue;
    }
    if (now >= deadline || changes::mustStop()) {
      return std::unexpected(Error{ManagerError::timedOut(kTimedOutMessage)});
    }
    // Without a notification to wait for, the profiles are loaded again after a short pause. A
    // change told while the last load was under way (its handler ran in the turn that delivered
    // the load) is loaded at once, not waited for a second time.
    if (unreadable || !configuration || (first && !statusChanges)) {
      runloop::runOnce(
          std::min(end, now + std::chrono::duration_cast<runloop::Clock::duration>(kLookAgain)));
      *mustLoad = true;
    } else if (!*mustLoad) {
      runloop::runOnce(std::min(end, deadline));
    }
  }
}

}  // namespace kelo::tunnel
