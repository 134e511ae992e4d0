#include "platform/run_loop.h"

namespace kelo {

RunLoop& RunLoop::main() {
  static RunLoop* const loop = new RunLoop;
  return *loop;
}

void RunLoop::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
  }
  changed_.notify_all();
}

void RunLoop::wakeUp() {
  {
    std::lock_guard lock(mutex_);
    woken_ = true;
  }
  changed_.notify_all();
}

void RunLoop::runOnce(Clock::time_point limit) {
  std::deque<std::function<void()>> batch;
  {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, limit, [this] { return woken_ || !pending_.empty(); });
    woken_ = false;
    batch.swap(pending_);
  }
  for (auto& work : batch) {
    work();
  }
}

}  // namespace kelo
