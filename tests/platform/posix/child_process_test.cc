// Child processes started from several threads at once: each read ends when its own child
// exits, never waiting on another child that holds a copy of its pipes.
#include "platform/child_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "support/test_support.h"

namespace kelo {
namespace {

TEST(ChildProcesses, NoChildInheritsThePipesOfAnotherStartedAtTheSameTime) {
  testing::TemporaryDirectory dir;

  // Short-lived children, many at once from many threads.
  std::vector<std::string> outputs(16);
  std::vector<std::thread> shortLived;
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    shortLived.emplace_back([index, &outputs] {
      for (int round = 0; round < 8; ++round) {
        const auto output =
            runChildProcess("/bin/sh", {"-c", "echo \"$0\"", std::to_string(index)});
        ASSERT_TRUE(output.has_value());
        outputs[index] += output->standardOutput;
      }
    });
  }
  // Meanwhile, children that live until the test opens their gate, which it does only once
  // every short-lived child has been read to its end. Had one of them inherited the pipes of a
  // short-lived child, that child's read would wait for it, and the test would never get there.
  std::vector<std::string> gates;
  std::vector<std::thread> longLived;
  for (int index = 0; index < 4; ++index) {
    gates.push_back(dir / ("gate-" + std::to_string(index)));
    ASSERT_EQ(mkfifo(gates.back().c_str(), 0600), 0);
    longLived.emplace_back([gate = gates.back()] {
      const auto output =
          runChildProcess("/bin/sh", {"-c", "echo long; cat \"$0\" >/dev/null", gate});
      ASSERT_TRUE(output.has_value());
      EXPECT_EQ(output->standardOutput, "long\n");
    });
  }

  for (auto& thread : shortLived) {
    thread.join();
  }
  for (std::size_t index = 0; index < outputs.size(); ++index) {
    std::string expected;
    for (int round = 0; round < 8; ++round) {
      expected += std::to_string(index) + "\n";
    }
    EXPECT_EQ(outputs[index], expected);
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

}  // namespace
}  // namespace kelo
