// Child processes: a program started by its path with an argument vector (never through a
// shell), standard output and standard error captured on separate pipes, several children at
// once. Rule building calls it on the main thread; the children are started and read on a
// helper thread (see runChildProcesses).
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
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

// Why a run has no output: the program could not be started, or it wrote more than
// kMaximumChildOutputBytes to one stream.
struct ChildFailure {
  enum class Reason { notStarted, outputTooLarge };
  Reason reason;
  PlatformError error;

  bool operator==(const ChildFailure&) const = default;
};

using ChildOutcome = std::expected<ChildOutput, ChildFailure>;

// What a child may write to each stream; one that writes more is ended and its run fails.
inline constexpr std::size_t kMaximumChildOutputBytes = 1u << 20;

// The most children the process runs at once: the size of the registry that
// terminateChildProcesses reads.
inline constexpr unsigned kMaximumChildren = 64;

// Runs `program` once for each argument list of `runs` and hands each run's outcome, with its
// index, to `finished`. Up to `concurrency` children run at once, fewer when the process may not
// open that many children's descriptors (RLIMIT_NOFILE) or when the user's process limit
// (RLIMIT_NPROC) leaves fewer a share of eight processes each beside the user's other
// processes, which are counted where the limit is below 4096; a start that fails for lack of
// descriptors, processes or memory waits for a running child to end and is tried again.
//
// Each run is done once. A run that failed (no start, or an exit status other than 0) is run
// once more on its own, after the others and once everything the failed runs started is gone,
// only where it may have failed for want of a process or a descriptor: a start of the tool's
// own failed for that reason during the call, or the user's processes were close to the limit
// when it failed. Then only its second outcome is reported.
//
// Fails, leaving the remaining runs unreported, when a start lacks descriptors, processes or
// memory while no child of this call runs (nothing that ends could give them back), or when a
// run that fails on its own had less than its share of processes: whether it failed by itself
// cannot be told.
//
// A run ends when its child exits: what is in the pipes by then is read, whatever still holds
// their other ends, and everything left in the child's process group is killed.
//
// Children inherit standard input, the environment and the working directory, and no other
// descriptor; each leads a process group of its own, so that ending it ends what it started,
// and on Linux is killed when the tool ends in any way. They are started and read on a helper
// thread that blocks every signal, so that the stop and time-out signals are always taken by
// the main thread, even while a start is held up in the kernel; `finished` runs on that thread
// while the caller waits. Without a thread to spare, or where the process limit leaves no room
// for one, the calling thread does the work itself.
std::expected<void, PlatformError> runChildProcesses(
    const std::string& program, const std::vector<std::vector<std::string>>& runs,
    unsigned concurrency,
    const std::function<void(std::size_t run, ChildOutcome outcome)>& finished);

// Kills every child still running, with whatever it started in turn, and refuses new ones:
// for a process that is about to end. Async-signal-safe, takes no lock; any thread.
void terminateChildProcesses();

}  // namespace kelo
