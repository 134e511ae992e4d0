// The step a run is in, for the documents a signal handler writes when it ends the run: a stop
// or the deadline that comes while the run waits for the lock, a code-signing run or the
// platform is answered with that step. Set on the main thread as each step begins; read by
// the handlers. Async-signal-safe, takes no lock.
#pragma once

#include "payloads/errors.h"

namespace kelo::progress {

void enter(Step step);
Step current();

}  // namespace kelo::progress
