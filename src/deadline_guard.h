// Keeps the time-out promise when the main thread cannot: if a step of the operation blocks
// the run loop (a code-signing child that never exits, say), a watcher thread writes the
// time-out failure document at the deadline, ends the children and exits with status 1.
// Armed by the driver from the bounded wait; exactly one of the two writes the outcome.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/run_loop.h"

namespace kelo {

class DeadlineGuard {
 public:
  // Called by the watcher, once, if it wins the outcome; it must end the process.
  using Expiry = std::function<void()>;

  explicit DeadlineGuard(Expiry expire) : expire_(std::move(expire)) {}
  ~DeadlineGuard() { disarm(); }
  DeadlineGuard(const DeadlineGuard&) = delete;
  DeadlineGuard& operator=(const DeadlineGuard&) = delete;

  // Starts watching; the watcher fires at `deadline` unless the outcome was claimed first.
  void arm(runloop::Clock::time_point deadline);

  // The main thread's claim on the one outcome. False when the watcher has already taken it
  // (and is ending the process).
  bool claimOutcome() { return !claimed_.exchange(true); }

  // Stops the watcher and waits for it.
  void disarm();

 private:
  Expiry expire_;
  std::atomic<bool> claimed_{false};
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool disarmed_ = false;
  std::thread watcher_;
};

}  // namespace kelo
