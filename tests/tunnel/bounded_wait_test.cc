// The bounded wait: values from every thread, the time-out at the deadline, late completions,
// and the restart delay waited out against the same deadline.
#include "tunnel/bounded_wait.h"

#include <gtest/gtest.h>

#include <thread>

namespace kelo::tunnel {
namespace {

using namespace std::chrono_literals;

Deadline in(std::chrono::duration<double> time) {
  return runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(time);
}

const Error kTimedOut = ManagerError::timedOut(kTimedOutMessage);

TEST(BoundedWait, ReturnsTheValueFromWhereverItsCompletionRuns) {
  EXPECT_EQ(awaitResult<int>(in(1s), [](auto completion) { completion(7); }), 7);
  EXPECT_EQ(awaitResult<int>(
                in(5s), [](auto completion) { runloop::post([completion] { completion(11); }); }),
            11);
  std::thread worker;
  EXPECT_EQ(awaitResult<int>(in(5s),
                             [&worker](auto completion) {
                               worker = std::thread([completion] { completion(3); });
                             }),
            3);
  worker.join();
  EXPECT_EQ(awaitResult<int>(in(1s),
                             [](auto completion) {
                               completion(1);
                               completion(2);
                             }),
            2);
}

// The time-out comes at the deadline, for a request that never completes and for a delay that
// ends after it; a completion that comes later stores into a slot that is still alive.
TEST(BoundedWait, EndsAtTheDeadline) {
  std::function<void(int)> kept;
  const auto began = runloop::Clock::now();
  EXPECT_EQ(awaitResult<int>(in(0.2s), [&kept](auto completion) { kept = completion; }),
            std::unexpected(kTimedOut));
  EXPECT_GE(runloop::Clock::now() - began, 200ms);
  kept(5);
  EXPECT_EQ(awaitResult<int>(in(-1s), [](auto completion) { completion(1); }),
            std::unexpected(kTimedOut));
  EXPECT_TRUE(waitOut(0.1s, in(5s)).has_value());
  EXPECT_GE(runloop::Clock::now() - began, 300ms);
  EXPECT_EQ(waitOut(5s, in(0.1s)), std::unexpected(kTimedOut));
}

// A completion on another thread ends the run-loop turn at once: a turn with a limit an hour
// away returns when woken, instead of hanging the test.
TEST(RunLoop, AWakeUpFromAnotherThreadEndsTheTurn) {
  runloop::runOnce(runloop::Clock::now());  // takes any earlier wake-up
  std::thread waker([] {
    std::this_thread::sleep_for(20ms);
    runloop::wakeUp();
  });
  runloop::runOnce(runloop::Clock::now() + 1h);
  waker.join();
}

}  // namespace
}  // namespace kelo::tunnel
