// The change gate: once the outcome is decided, no change follows, and a change under way ends
// before the gate counts as closed. (Each test runs in a process of its own.)
#include "platform/change_gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kelo {
namespace {

TEST(ChangeGate, ClosingWaitsForTheChangeUnderWayAndRefusesLaterOnes) {
  std::atomic<bool> started{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    EXPECT_TRUE(changes::apply([&] {
      started = true;
      while (!release) {
        std::this_thread::yield();
      }
      finished = true;
    }));
  });
  while (!started) {
    std::this_thread::yield();
  }
  std::thread closer([&] {
    changes::close();
    EXPECT_TRUE(finished);  // the change under way ended first
  });
  release = true;
  closer.join();
  writer.join();

  bool ran = false;
  EXPECT_FALSE(changes::apply([&ran] { ran = true; }));
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace kelo
