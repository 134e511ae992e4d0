// The gate every lasting change of the platform passes (a write of the VPN preferences, a
// tunnel started or stopped), and the one outcome of the run. Whoever writes the run's
// document first claims the outcome, which closes the gate: the main thread before its
// document, or the signal handler of the deadline and the stop signals before its own. So no
// change is made once the document is decided.
//
// Until the first change begins, a stop or the deadline ends the run at once: nothing has
// changed. From then on an ending is only asked for (`requestEnding`), and the main thread
// honours it at its next step: the next change is refused and every wait returns, so that a
// run whose last change was made still answers with its success, and a write under way is
// never cut off; a repair (see Repair) is the one thing it still does. The handler that asked gives
// the main thread a short grace before it ends the run itself; a temporary file that a change had
// under way then is removed by the handler.
//
// Changes are made on the main thread, and the handlers run there too: every other thread of
// the tool blocks the signals they handle. Nothing here takes a lock. Any thread; close,
// requestEnding, requestedEnding, hasBegun and removeLeftovers are async-signal-safe.
#pragma once

#include <functional>

namespace kelo::changes {

// Runs `change` unless the gate is closed or the main thread must stop; false when refused.
bool apply(const std::function<void()>& change);

// Whether the main thread must end the run at its next step: an ending was asked for, and no
// repair is under way.
bool mustStop();

// While one lives, the main thread repairs what a run that is ending must not leave behind
// (an on-demand connection it switched off): its changes are made, and its waits go on, though
// an ending was asked for. Only a claimed outcome refuses them, and the handler that asked for
// the ending still ends the run after its grace. Main thread.
class Repair {
 public:
  Repair();
  ~Repair();
  Repair(const Repair&) = delete;
  Repair& operator=(const Repair&) = delete;
};

// Claims the outcome and closes the gate: true for the first caller only.
bool close();

// Whether a change has begun in this run: from then on an ending is asked for, not imposed.
bool hasBegun();

// Asks the main thread to end the run with the ending of `signal` (the first request wins).
void requestEnding(int signal);

// The signal whose ending was asked for, or 0.
int requestedEnding();

// A file that the change under way is writing and that must not outlive the run: noted after
// it was created, forgotten once it has been renamed into place. Call with the handled signals
// blocked, so that a handler never sees a half-noted path. The path is copied; at most 4095
// bytes are kept (a longer one is not noted).
void noteScratchFile(const char* path);
void forgetScratchFile();

// Likewise the file of the store lock's turn that the run holds, from the moment it exists
// until it is released.
void noteHeldLock(const char* path);
void forgetHeldLock();

// Removes the noted files, if any: for the handler that ends the run, which still holds the
// lock while it does.
void removeLeftovers();

}  // namespace kelo::changes
