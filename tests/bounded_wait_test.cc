// The bounded wait: results on every thread, errors unchanged, the time-out, late completions.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "bounded_wait.h"

namespace kelo {
namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::duration<double>;

TEST(BoundedWait, ReturnsAResultDeliveredBeforeTheOperationReturns) {
  const auto result =
      awaitResult<int>(Seconds(1), [](Completion<int> completion) { completion(7); });
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, 7);
}

TEST(BoundedWait, RunsCompletionsPostedToTheMainRunLoop) {
  const auto result = awaitResult<int>(Seconds(5), [](Completion<int> completion) {
    runloop::post([completion] { completion(11); });
  });
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, 11);
}

TEST(BoundedWait, TakesACompletionFromAnotherThread) {
  std::thread worker;
  const auto result = awaitResult<int>(Seconds(5), [&worker](Completion<int> completion) {
    worker = std::thread([completion] {
      std::this_thread::sleep_for(20ms);
      completion(3);
    });
  });
  worker.join();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(*result, 3);
}

TEST(BoundedWait, TheSecondOfTwoEarlyCompletionsWins) {
  const auto result = awaitResult<int>(Seconds(1), [](Completion<int> completion) {
    completion(1);
    completion(2);
  });
  EXPECT_EQ(result.value(), 2);
}

TEST(BoundedWait, PassesAnErrorThroughUnchanged) {
  const Error failure = ManagerError::networkExtension("Failed to start packet tunnel: no");
  const auto result = awaitResult<int>(
      Seconds(1), [&failure](Completion<int> completion) { completion(std::unexpected(failure)); });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), failure);
}

TEST(BoundedWait, TimesOutWhenNothingArrivesAndToleratesALateCompletion) {
  Completion<int> kept;
  const auto result =
      awaitResult<int>(Seconds(0.2), [&kept](Completion<int> completion) { kept = completion; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(
      result.error(),
      Error{ManagerError::timedOut("Timed out waiting for Network Extension manager response.")});
  kept(5);  // stores into a slot that is still alive; nothing reads it
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
}  // namespace kelo
