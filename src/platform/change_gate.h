// The gate every lasting change of the platform passes: a write of the VPN preferences, a
// tunnel started or stopped. Once the request's outcome is decided the gate closes, so the
// process's last change happens before its document is written, never after. Any thread.
#pragma once

#include <functional>

namespace kelo::changes {

// Runs `change` unless the gate is closed; false when it was refused. Changes on different
// threads may run at the same time (the platform serialises its own).
bool apply(const std::function<void()>& change);

// Waits for the changes in progress to end, then refuses every later one. Keep changes short:
// whoever closes the gate waits for them.
void close();

}  // namespace kelo::changes
