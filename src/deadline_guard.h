// Keeps the promise that every run ends within its time limit with exactly one document, even
// when the main thread cannot: if a step blocks it (a code-signing child that never exits, a
// request that never ends), or the process is asked to stop (SIGTERM, SIGINT, SIGHUP), a
// watcher thread writes the failure document in its place, ends the children and exits with
// status 1. Set up by the driver when the process starts; exactly one of the two threads
// writes the outcome.
#pragma once

#include <functional>

#include "platform/run_loop.h"

namespace kelo {

class DeadlineGuard {
 public:
  // Called by the watcher, once, if it wins the outcome, with the signal that asked the process
  // to stop, or 0 when the deadline passed; it must end the process.
  using Expiry = std::function<void(int signal)>;

  // Catches SIGTERM, SIGINT and SIGHUP from now on; one guard per process.
  explicit DeadlineGuard(Expiry expire);
  DeadlineGuard(const DeadlineGuard&) = delete;
  DeadlineGuard& operator=(const DeadlineGuard&) = delete;

  // Starts watching; the watcher acts at `deadline`, or at once on a stop signal (one that came
  // before included), unless the outcome was claimed first.
  void arm(runloop::Clock::time_point deadline);

  // The main thread's claim on the one outcome. False when the watcher has already taken it
  // (and is ending the process). Once the main thread holds it the watcher never acts, so it
  // is left waiting until the process ends: stopping it would cost every run a thread switch.
  bool claimOutcome();

 private:
  struct State;  // shared with the watcher, which may outlive the guard: never freed
  State& state_;
};

}  // namespace kelo
