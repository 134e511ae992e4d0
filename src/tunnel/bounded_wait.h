// The bounded wait: the one place where the tool waits for the asynchronous platform. Each
// operation of tunnel/ makes one platform request and waits for its completion here, against
// the run's one deadline, turning the main run loop meanwhile so that completions delivered
// there can run; the restart delay of a running tunnel is waited out the same way. Main
// thread only; completions may come from any thread.
//
// A stop signal or the deadline that arrives once a change has begun asks the main thread to
// end the run (platform/change_gate.h): every wait then returns at its next turn with the
// time-out, which the driver reports as the ending that was asked for; only a repair's waits
// go on.
//
// It is entered once per platform request, not once per run: every command is then a list of
// plain calls, each returning its result or its error, and every wait still ends at the same
// deadline, 15 seconds from the start of the run, with the same time-out.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "payloads/errors.h"
#include "payloads/failure_document.h"
#include "platform/change_gate.h"
#include "platform/run_loop.h"

namespace kelo::tunnel {

// When the run must have ended: 15 seconds from its start.
using Deadline = runloop::Clock::time_point;

inline constexpr std::chrono::duration<double> kRunLoopSlice{0.05};

// A platform request: hands its completion the one value it produces, later, on any thread.
template <class Value>
using Request = std::function<void(std::function<void(Value)>)>;

// Makes the request and returns the value its completion delivered, or fails with the
// time-out once the deadline has passed. A completion that comes after the time-out stores
// into a slot that is still alive and is ignored.
template <class Value>
Result<Value> awaitResult(Deadline deadline, const Request<Value>& request) {
  struct Slot {
    std::mutex lock;
    std::optional<Value> value;
  };
  const auto slot = std::make_shared<Slot>();
  request([slot](Value value) {
    {
      std::lock_guard guard(slot->lock);
      slot->value = std::move(value);  // a second completion replaces the first
    }
    runloop::wakeUp();  // a completion from another thread must not wait for the slice to end
  });

  for (;;) {
    if (runloop::Clock::now() >= deadline || changes::mustStop()) {
      return std::unexpected(Error{ManagerError::timedOut(kTimedOutMessage)});
    }
    {
      std::lock_guard guard(slot->lock);
      if (std::optional<Value>& value = slot->value) {
        return std::move(*value);
      }
    }
    runloop::runOnce(runloop::Clock::now() +
                     std::chrono::duration_cast<runloop::Clock::duration>(kRunLoopSlice));
  }
}

// Turns the main run loop until `delay` has passed, or fails with the time-out when the
// deadline comes first.
inline Result<void> waitOut(std::chrono::duration<double> delay, Deadline deadline) {
  const auto end =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(delay);
  for (;;) {
    const auto now = runloop::Clock::now();
    if (now >= deadline || changes::mustStop()) {
      return std::unexpected(Error{ManagerError::timedOut(kTimedOutMessage)});
    }
    if (now >= end) {
      return {};
    }
    runloop::runOnce(
        std::min(end, now + std::chrono::duration_cast<runloop::Clock::duration>(kRunLoopSlice)));
  }
}

}  // namespace kelo::tunnel
