// Keeps the promise that every run ends within its time limit with exactly one document, even
// when the main thread cannot (a code-signing child that never exits, a request that never
// ends, a reader that never drains the document), and that a run asked to stop (SIGTERM,
// SIGINT, SIGHUP) answers at once.
//
// A timer signal marks the deadline. Its handler, and that of the stop signals, end the run:
// - before any change was made, at once: the outcome is claimed, the child processes are ended,
//   a failure document rendered at compile time is written and the process exits with status 1;
// - once a change has begun, by asking the main thread to end at its next step (see
//   platform/change_gate.h) and ending the run itself only if it has not after a short grace;
// - once the main thread has claimed the outcome and is writing its document, by finishing
//   that document within a short bound (or, when a status document could not be written at
//   all, by answering on standard error that it could not) and exiting.
// The handlers run on the main thread, the only one that does not block these signals, and do
// only async-signal-safe work: no thread waits for the deadline, and no lock is taken.
#pragma once

#include <chrono>
#include <string_view>

#include "payloads/protocol.h"

namespace kelo::deadline {

// Installs the handlers, ignores SIGPIPE and SIGXFSZ (a write that fails is reported, it does
// not kill), keeps memory in reserve for a shortage, and arms the timer `limit` from now. The
// first thing `main` does, once per process, on the main thread. A stop signal that the process
// was started with ignored stays ignored; a timer signal that comes before its time is ignored.
void arm(std::chrono::nanoseconds limit);

// The protocol the handlers' documents are written in, once the arguments have said it.
void answerIn(Protocol protocol);

// How much of a document reached its stream.
enum class Delivery { complete, nothingWritten, partial };

// Writes the run's document on `descriptor` and claims the outcome for it, so that a handler
// from now on finishes this document instead of writing its own. Waits for a stream that does
// not take the bytes at once, but never past the deadline: the handler of the timer then
// finishes. `exitStatus` is the status the run ends with once the document is complete. Main
// thread; `document` must stay alive until the process ends. When a handler claimed the
// outcome first, it ends the process and this does not return.
Delivery deliver(int descriptor, std::string_view document, int exitStatus);

}  // namespace kelo::deadline
