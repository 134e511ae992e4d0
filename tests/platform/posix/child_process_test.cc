// Child processes: what they inherit, and every run done whatever descriptors the process has
// left.
#include "platform/child_process.h"

#include <algorithm>
#include <filesystem>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/posix/system.h"
#include "support/test_support.h"

namespace kelo {
namespace {

std::vector<std::string> outputs(const std::vector<std::vector<std::string>>& runs,
                                 unsigned concurrency) {
  std::vector<std::string> texts(runs.size(), "not run");
  (void)runChildProcesses(
      "/bin/sh", runs, concurrency, [&texts](std::size_t run, ChildOutcome outcome) {
        texts[run] = outcome ? outcome->standardOutput : outcome.error().error.localizedDescription;
      });
  return texts;
}

// A child inherits neither a descriptor the process left open (a caller's, say) nor the pipes
// of the other children running at the same time.
TEST(ChildProcesses, InheritNoDescriptorButTheStandardStreams) {
  const int leaked = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  std::string listed;
  (void)runChildProcesses(KELO_LIST_DESCRIPTORS, {{}, {}, {}, {}}, 4,
                          [&listed](std::size_t, ChildOutcome outcome) {
                            listed += outcome ? outcome->standardOutput : "not started\n";
                          });
  close(leaked);
  EXPECT_EQ(listed, "0\n1\n2\n0\n1\n2\n0\n1\n2\n0\n1\n2\n");
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

// A run that fails is run once where nothing says that it lacked a process: here under a
// process limit below 4096 that the user's processes are far from. Where they are close to it,
// it is run once more on its own, and when it fails again then, the call fails naming the
// limit: an application that is not signed cannot be told from one whose inspection lacked a
// process. (Only root's processes are free of the limit, so that the children run all the same
// and only the tool's reckoning is tested.)
TEST(ChildProcesses, AFailedRunIsRunAgainOnlyWhereProcessesMayHaveRunShort) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "the lowered process limit would bind the children";
  }
  const testing::TemporaryDirectory folder;
  const std::string calls = folder / "calls";
  const std::vector<std::vector<std::string>> runs(3, {"-c", "echo run >> \"$0\"; exit 1", calls});
  const auto callsMade = [&] {
    const std::string text = testing::readFile(calls);
    std::filesystem::remove(calls);
    return std::ranges::count(text, '\n');
  };
  const auto limitAbove = [](rlim_t room) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NPROC, &limit), 0);
    limit.rlim_cur = static_cast<rlim_t>(*posix::userProcessCount()) + room;
    ASSERT_LE(limit.rlim_cur, limit.rlim_max);
    ASSERT_EQ(setrlimit(RLIMIT_NPROC, &limit), 0);
  };

  limitAbove(1000);
  std::size_t failed = 0;
  ASSERT_TRUE(runChildProcesses("/bin/sh", runs, 3, [&](std::size_t, ChildOutcome outcome) {
    failed += outcome && outcome->terminationStatus == 1 ? 1 : 0;
  }));
  EXPECT_EQ(failed, 3u);
  EXPECT_EQ(callsMade(), 3);

  limitAbove(4);
  const auto ran =
      runChildProcesses("/bin/sh", {runs[0]}, 3, [](std::size_t, const ChildOutcome&) {});
  ASSERT_FALSE(ran);
  EXPECT_TRUE(ran.error().localizedDescription.starts_with(
      "The program /bin/sh could not run for want of processes: the user's process limit of "))
      << ran.error().localizedDescription;
  EXPECT_EQ(callsMade(), 2);
}

}  // namespace
}  // namespace kelo
