// The simulated platform's main run loop: a queue of work that the main thread runs when it
// turns the loop, and a condition variable that a post or a wake-up from any thread signals.
#include "platform/run_loop.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace kelo::runloop {

namespace {

struct Loop {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::function<void()>> pending;
  bool woken = false;
};

// Lives as long as the process: late work posted by a background thread while the process
// ends must still find it.
Loop& mainLoop() {
  static Loop* const loop = new Loop;
  return *loop;
}

}  // namespace

void post(std::function<void()> work) {
  Loop& loop = mainLoop();
  {
    std::lock_guard lock(loop.mutex);
    loop.pending.push_back(std::move(work));
  }
  loop.changed.notify_all();
}

void wakeUp() {
  Loop& loop = mainLoop();
  {
    std::lock_guard lock(loop.mutex);
    loop.woken = true;
  }
  loop.changed.notify_all();
}

void runOnce(Clock::time_point limit) {
  Loop& loop = mainLoop();
  std::deque<std::function<void()>> batch;
  {
    std::unique_lock lock(loop.mutex);
    loop.changed.wait_until(lock, limit, [&loop] { return loop.woken || !loop.pending.empty(); });
    loop.woken = false;
    batch.swap(loop.pending);
  }
  for (auto& work : batch) {
    work();
  }
  // A wake-up asked for while the work ran (a completion's own, above all) ended this turn:
  // carried over, it would end the next one at once, and a waiter that pauses between looks
  // would never pause.
  std::lock_guard lock(loop.mutex);
  loop.woken = false;
}

}  // namespace kelo::runloop
