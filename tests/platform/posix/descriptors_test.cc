// Whole reads carried on across interruptions: a signal whose handler does not ask for restarted
// calls interrupts the wait for a writer (each read waits in poll first, which no handler
// restarts), and the read goes on.
#include "platform/descriptors.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <thread>

namespace kelo {
namespace {

extern "C" void noteSignal(int) {}

TEST(Descriptors, AReadInterruptedByASignalGoesOn) {
  struct sigaction interrupting {};
  interrupting.sa_handler = noteSignal;  // no SA_RESTART: a blocked read fails with EINTR
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGUSR1, &interrupting, &before), 0);
  std::array<int, 2> ends{};
  ASSERT_EQ(pipe(ends.data()), 0);
  const pthread_t reader = pthread_self();
  std::thread writer([&] {
    for (int round = 0; round < 3; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      pthread_kill(reader, SIGUSR1);
    }
    (void)!write(ends[1], "{}", 2);
    close(ends[1]);
  });
  std::string read;
  EXPECT_TRUE(readToEnd(ends[0], read));
  writer.join();
  close(ends[0]);
  sigaction(SIGUSR1, &before, nullptr);
  EXPECT_EQ(read, "{}");
}

}  // namespace
}  // namespace kelo
