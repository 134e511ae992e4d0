// The main run loop: work posted from any thread runs on the thread that turns the loop.
// The platform posts its completions here; the bounded wait turns it on the main thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace kelo {

class RunLoop {
 public:
  using Clock = std::chrono::steady_clock;

  // The loop of the main thread. It lives as long as the process: late work posted by a
  // background thread while the process ends must still find it.
  static RunLoop& main();

  // Any thread. The work runs during a later turn, never inside this call.
  void post(std::function<void()> work);

  // Any thread. Ends the current or the next turn early, even when there is no work.
  void wakeUp();

  // One turn: runs the work pending now; when there is none, waits until work is posted,
  // wakeUp is called or `limit` passes, and runs what arrived. Returns after handling work.
  void runOnce(Clock::time_point limit);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> pending_;
  bool woken_ = false;
};

}  // namespace kelo
