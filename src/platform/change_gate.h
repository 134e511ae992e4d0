// The gate every lasting change of the platform passes (a write of the VPN preferences, a
// tunnel started or stopped), and the one outcome of the run. Whoever writes the run's
// document first claims the outcome, which closes the gate: the main thread before its
// document, or the signal handler of the deadline and the stop signals before its own. So no
// change is made once the document is decided.
//
// Changes are made on the main thread, and the handler runs there too: every other thread of
// the tool blocks the signals it handles. The handler therefore interrupts a change either
// before its last step, which then never happens (the preferences file is replaced by one
// rename, so a write it interrupts never becomes visible), or after it, when the change is
// complete before the document. Nothing here takes a lock. Any thread; close is
// async-signal-safe.
#pragma once

#include <functional>

namespace kelo::changes {

// Runs `change` unless the gate is closed; false when it was refused.
bool apply(const std::function<void()>& change);

// Claims the outcome and closes the gate: true for the first caller only.
bool close();

}  // namespace kelo::changes
