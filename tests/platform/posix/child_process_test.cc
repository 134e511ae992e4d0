// Child processes: what they inherit, several at once from several threads, and every run
// done whatever descriptors the process has left.
#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/test_support.h"

namespace kelo {
namespace {

std::vector<std::string> outputs(const std::vector<std::vector<std::string>>& runs,
                                 unsigned concurrency) {
  std::vector<std::string> texts(runs.size(), "not run");
  runChildProcesses("/bin/sh", runs, concurrency, [&texts](std::size_t run, ChildOutcome outcome) {
    texts[run] = outcome ? outcome->standardOutput : outcome.error().localizedDescription;
  });
  return texts;
}

TEST(ChildProcesses, InheritNoDescriptorButTheStandardStreams) {
  const int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  const auto listed = runChildProcess(KELO_LIST_DESCRIPTORS, {});
  close(leaked);
  ASSERT_TRUE(listed.has_value());
  EXPECT_EQ(listed->standardOutput, "0\n1\n2\n");
}

TEST(ChildProcesses, NoChildInheritsThePipesOfAnotherStartedAtTheSameTime) {
  testing::TemporaryDirectory dir;
  // Children that live until the test opens their gate, which it does only once every
  // short-lived child has been read to its end. Had a short-lived child's pipes been inherited
  // by one of them, that child's run would wait for it, and the test would never get there.
  std::vector<std::string> gates;
  std::vector<std::thread> longLived;
  for (int index = 0; index < 4; ++index) {
    gates.push_back(dir / ("gate-" + std::to_string(index)));
    ASSERT_EQ(mkfifo(gates.back().c_str(), 0600), 0);
    longLived.emplace_back([gate = gates.back()] {
      const auto output =
          runChildProcess("/bin/sh", {"-c", "echo long; cat \"$0\" >/dev/null", gate});
      EXPECT_EQ(output.value().standardOutput, "long\n");
    });
  }
  std::vector<std::thread> shortLived;
  for (int index = 0; index < 8; ++index) {
    shortLived.emplace_back([index] {
      std::vector<std::vector<std::string>> runs(8, {"-c", "echo \"$0\"", std::to_string(index)});
      EXPECT_EQ(outputs(runs, 4), std::vector<std::string>(8, std::to_string(index) + "\n"));
    });
  }
  for (auto& thread : shortLived) {
    thread.join();
  }
  for (const auto& gate : gates) {
    const int opened = open(gate.c_str(), O_WRONLY);  // waits for its reader, then lets it end
    ASSERT_GE(opened, 0);
    close(opened);
  }
  for (auto& thread : longLived) {
    thread.join();
  }
}

// With descriptors for only a few children at a time, starts that fail for lack of them wait
// for a running child to end: every run is done, none fails. (Each test runs in a process of
// its own, so the lowered limit touches no other test.)
TEST(ChildProcesses, EveryRunIsDoneWhenDescriptorsRunShort) {
  const rlimit low{48, 48};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> taken;  // leave ten free, fewer than the limit lets the runner expect
  for (int descriptor = dup(STDIN_FILENO); descriptor >= 0; descriptor = dup(STDIN_FILENO)) {
    taken.push_back(descriptor);
  }
  for (int free = 0; free < 10 && !taken.empty(); ++free) {
    close(taken.back());
    taken.pop_back();
  }
  std::vector<std::vector<std::string>> runs;
  std::vector<std::string> expected;
  for (int index = 0; index < 30; ++index) {
    runs.push_back({"-c", "sleep 0.02; echo \"$0\"", std::to_string(index)});
    expected.push_back(std::to_string(index) + "\n");
  }
  EXPECT_EQ(outputs(runs, kMaximumChildren), expected);
  for (const int descriptor : taken) {
    close(descriptor);
  }
}

}  // namespace
}  // namespace kelo
