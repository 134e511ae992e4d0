// The main run loop and the signals on a Mac, where the framework's completions come from its own
// queues (macOS only): a completion posted from a background queue ends the turn at once, and
// the timer and stop signals land on the main thread however busy those queues' threads are,
// which the deadline's handlers rely on.
#include "platform/run_loop.h"

#include <dispatch/dispatch.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>

namespace kelo {
namespace {

using namespace std::chrono_literals;
using runloop::Clock;

TEST(MainRunLoop, ACompletionPostedFromABackgroundQueueEndsTheTurnAtOnce) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::atomic<bool> ran{false};
    std::atomic<bool>* flag = &ran;
    dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), ^{
      runloop::post([flag] { flag->store(true); });
      runloop::wakeUp();
    });
    const auto began = Clock::now();
    // A long limit: only the posted work can end the turns this soon.
    while (!ran.load() && Clock::now() - began < 2s) {
      runloop::runOnce(Clock::now() + 5s);
    }
    EXPECT_TRUE(ran.load());
    EXPECT_LT(Clock::now() - began, 200ms) << attempt;
  }
}

pthread_t mainThread;
std::atomic<int> onMainThread{0};
std::atomic<int> elsewhere{0};

void countWhere(int) {
  (pthread_equal(pthread_self(), mainThread) != 0 ? onMainThread : elsewhere).fetch_add(1);
}

TEST(Signals, TheTimerAndStopSignalsLandOnTheMainThreadWhileTheQueuesAreBusy) {
  mainThread = pthread_self();
  constexpr std::array<int, 4> kSignals = {SIGALRM, SIGTERM, SIGINT, SIGHUP};
  struct sigaction action {};
  action.sa_handler = countWhere;
  for (const int signal : kSignals) {
    sigaction(signal, &action, nullptr);
  }
  std::atomic<bool> done{false};
  std::atomic<bool>* finished = &done;
  for (int worker = 0; worker < 8; ++worker) {
    dispatch_async(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), ^{
      while (!finished->load()) {
      }
    });
  }
  constexpr int kRounds = 400;
  for (int round = 0; round < kRounds; ++round) {
    const int before = onMainThread.load() + elsewhere.load();
    kill(getpid(), kSignals[round % kSignals.size()]);
    // One at a time: two pending signals of one kind would count once.
    for (int wait = 0; wait < 1000 && onMainThread.load() + elsewhere.load() == before; ++wait) {
      usleep(100);
    }
  }
  done.store(true);
  EXPECT_EQ(elsewhere.load(), 0);
  EXPECT_EQ(onMainThread.load(), kRounds);
}

}  // namespace
}  // namespace kelo
