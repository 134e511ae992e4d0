// Child processes: what they inherit, and every run done whatever descriptors the process has
// left.
#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kelo {
namespace {

std::vector<std::string> outputs(const std::vector<std::vector<std::string>>& runs,
                                 unsigned concurrency) {
  std::vector<std::string> texts(runs.size(), "not run");
  (void)runChildProcesses(
      "/bin/sh", runs, concurrency, [&texts](std::size_t run, ChildOutcome outcome) {
        texts[run] = outcome ? outcome->standardOutput : outcome.error().localizedDescription;
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

}  // namespace
}  // namespace kelo
