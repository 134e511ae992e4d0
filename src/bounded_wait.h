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

template <class T>
Result<T> awaitResult(std::chrono::duration<double> timeout, const Operation<T>& operation) {
  // Owned jointly with the completion, which may outlive this call after a time-out.
  struct Shared {
    std::mutex slotLock;
    std::optional<Result<T>> slot;
    std::counting_semaphore<> signal{0};
  };
  const auto shared = std::make_shared<Shared>();

  // The limit counts from the start of the operation, whatever its first step does.
  const auto deadline =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(timeout);
  operation([shared](Result<T> result) {
    {
      std::lock_guard lock(shared->slotLock);
      shared->slot = std::move(result);
    }
    shared->signal.release();
    // A completion on another thread must not wait for the current slice to run out.
    runloop::wakeUp();
  });

  for (;;) {
    if (shared->signal.try_acquire()) {
      break;  // a result that has arrived wins, even at the deadline
    }
    if (runloop::Clock::now() >= deadline) {
      return std::unexpected(Error{ManagerError::timedOut(kTimedOutMessage)});
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
