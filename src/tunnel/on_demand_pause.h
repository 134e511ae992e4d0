// On-demand switched off for a restart, and the trace of that pause in the stored profile. A
// restart of a tunnel that the system keeps up on demand must switch on-demand off, or the
// system would bring the stopped tunnel straight back; a run killed outright before it switched
// it back on (SIGKILL, the OOM killer, a power cut) would leave it off for good. So the pause is
// saved together with on-demand off, under a key of the provider configuration that the
// extension does not read, and the next changing run acts on it: "connect" and
// "update-app-rules" switch on-demand back on, "disconnect" and "remove", which leave it off on
// purpose, clear the trace. Main thread.
#pragma once

#include <vector>

#include "payloads/errors.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/profile_store.h"

namespace kelo::tunnel {

// The provider configuration's key of the pause; its value is the integer 1.
inline constexpr char kOnDemandPausedKey[] = "on_demand_paused";

// Switches on-demand off and records the pause in the object; both land with its next save.
void pauseOnDemand(NETunnelProviderManager& manager);

// Whether the profile holds the trace of a pause, and removing it from the object.
bool onDemandPaused(const NETunnelProviderManager& manager);
void forgetPause(NETunnelProviderManager& manager);

// For each profile that a run left paused: on-demand back on (`resume`) or left off, and the
// trace gone, saved. The first failure ends it.
Result<void> settleLeftPaused(const std::vector<ManagerPointer>& managers, bool resume,
                              Deadline deadline);

}  // namespace kelo::tunnel
