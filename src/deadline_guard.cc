#include "deadline_guard.h"

namespace kelo {

void DeadlineGuard::arm(runloop::Clock::time_point deadline) {
  watcher_ = std::thread([this, deadline] {
    {
      std::unique_lock lock(mutex_);
      if (stopped_.wait_until(lock, deadline, [this] { return disarmed_; })) {
        return;
      }
    }
    if (claimOutcome()) {
      expire_();
    }
  });
}

void DeadlineGuard::disarm() {
  {
    std::lock_guard lock(mutex_);
    disarmed_ = true;
  }
  stopped_.notify_all();
  if (watcher_.joinable()) {
    watcher_.join();
  }
}

}  // namespace kelo
