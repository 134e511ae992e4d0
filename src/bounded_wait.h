// The bounded wait: turns one asynchronous operation into a synchronous call with a time
// limit, turning the main run loop meanwhile so that completions delivered there can run.
// Called once per process by the driver, on the main thread; completions may come from any.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>

#include "payloads/errors.h"
#include "platform/run_loop.h"

namespace kelo {

inline constexpr std::chrono::duration<double> kRunLoopSlice{0.05};
inline constexpr char kTimedOutMessage[] =
    "Timed out waiting for Network Extension manager response.";
inline constexpr char kNoResultMessage[] = "Network Extension manager completed without a result.";

template <class T>
using Operation = std::function<void(Completion<T>)>;

// Told the deadline as soon as it is known, so that someone can keep the time-out promise
// even when a step of the operation blocks the run loop past it.
using DeadlineObserver = std::function<void(runloop::Clock::time_point deadline)>;

template <class T>
Result<T> awaitResult(std::chrono::duration<double> timeout, const Operation<T>& operation,
                      const DeadlineObserver& observeDeadline = {}) {
  // Owned jointly with the completion, which may outlive this call after a time-out.
  struct Shared {
    std::mutex slotLock;
    std::optional<Result<T>> slot;
    std::counting_semaphore<> signal{0};
  };
  const auto shared = std::make_shared<Shared>();

  operation([shared](Result<T> result) {
    {
      std::lock_guard lock(shared->slotLock);
      shared->slot = std::move(result);
    }
    shared->signal.release();
    // A completion on another thread must not wait for the current slice to run out.
    runloop::wakeUp();
  });

  const auto deadline =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(timeout);
  if (observeDeadline) {
    observeDeadline(deadline);
  }
  for (;;) {
    if (runloop::Clock::now() >= deadline) {
      return std::unexpected(Error{ManagerError::timedOut(kTimedOutMessage)});
    }
    if (shared->signal.try_acquire()) {
      break;
    }
    runloop::runOnce(runloop::Clock::now() +
                     std::chrono::duration_cast<runloop::Clock::duration>(kRunLoopSlice));
  }

  std::optional<Result<T>> result;
  {
    std::lock_guard lock(shared->slotLock);
    result = shared->slot;
  }
  if (!result) {
    return std::unexpected(Error{ManagerError::networkExtension(kNoResultMessage)});
  }
  return *result;
}

}  // namespace kelo
