// Keeps the promise that every run ends within its time limit with exactly one document, even
// when the main thread cannot (a code-signing child that never exits, a request that never
// ends), and that a run asked to stop (SIGTERM, SIGINT, SIGHUP) answers at once. A timer
// signal marks the deadline; its handler, and that of the stop signals, claims the outcome,
// ends the child processes, writes a failure document rendered in advance with one write and
// ends the process with status 1, unless the main thread has claimed the outcome first. The
// handlers run on the main thread, the only one that does not block these signals, and do only
// async-signal-safe work: no thread waits for the deadline, and no lock is taken.
#pragma once

#include <chrono>

namespace kelo::deadline {

// Arms the timer for `expiry` (at the latest a few microseconds from now) and catches the stop
// signals from now on, except those the process was started with ignored. Once per process,
// on the main thread.
void arm(std::chrono::steady_clock::time_point expiry);

}  // namespace kelo::deadline
