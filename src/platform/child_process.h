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

// A run's output, or why it has none: the program could not be started, or it wrote more than
// kMaximumChildOutputBytes to one stream.
using ChildOutcome = std::expected<ChildOutput, PlatformError>;

// What a child may write to each stream; one that writes more is ended and its run fails.
inline constexpr std::size_t kMaximumChildOutputBytes = 1u << 20;

// The most children the process runs at once: the size of the registry that
// terminateChildProcesses reads.
inline constexpr unsigned kMaximumChildren = 64;

// Runs `program` once for each argument list of `runs` and hands each run's outcome, with its
// index, to `finished`, in the order the children end. Up to `concurrency` children run at
// once, fewer when the process may not open or start that many (RLIMIT_NOFILE, and
// RLIMIT_NPROC with room left for what each child starts); a start that fails for lack of
// descriptors, processes or memory waits for a running child to end and is tried again. A run
// that failed (no start, or an exit status other than 0) while other children ran beside it, or
// at all under a process limit below 4096 (where the user's other processes may hold what it
// needed), is run once more on its own after the others, and only that outcome is reported:
// what failed may have been the child's own start of a program.
//
// Fails, leaving the remaining runs unreported, when a start lacks descriptors, processes or
// memory while no child of this call runs: then nothing that ends can give them back.
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
