// Child processes: a program started by its path with an argument vector (never through a
// shell), standard output and standard error captured on separate pipes. Blocks the calling
// thread until the child has exited; code-signature inspection calls it on the main thread.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "platform/platform_error.h"

namespace kelo {

struct ChildOutput {
  std::string standardOutput;
  std::string standardError;
  // The exit status; 128 + the signal for a child killed by one; -1 when it cannot be known.
  int terminationStatus = 0;
};

// Standard input, environment and working directory are inherited; no other descriptor is.
// Both pipes are drained while the child runs, so a report of any size cannot stall it.
std::expected<ChildOutput, PlatformError> runChildProcess(
    const std::string& program, const std::vector<std::string>& arguments);

// Any thread. Kills every child still running (with whatever it started in turn) and refuses
// new ones: for a process that is about to end while a child may still be running.
void terminateChildProcesses();

}  // namespace kelo
