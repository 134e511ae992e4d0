// The profile store: finds the tool's profiles among the platform's, removes stale ones one at
// a time, and saves and reloads a profile. Each platform request is waited for on the main
// thread, against the run's deadline; platform failures get the store's message prefixes.
#pragma once

#include <vector>

#include "payloads/errors.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"

namespace kelo::tunnel {

// The provider bundle identifier of the companion packet-tunnel extension: it marks the
// profiles that are the tool's.
inline constexpr char kProviderBundleIdentifier[] = "com.kelo.vpn.desktop.PacketTunnel";

using ManagerPointer = NETunnelProviderManager::Pointer;

// The tool's profiles, in the platform's order.
Result<std::vector<ManagerPointer>> loadAllManagers(Deadline deadline);

// Removes the profiles one after the other; the first failure ends it, and what was removed
// before it stays removed. `step` says why they go: `removeStale` (profiles that a connect does
// not keep) or `remove` (the tool's configuration taken off the machine), which the failure's
// message says.
Result<void> removeManagers(const std::vector<ManagerPointer>& managers, Deadline deadline,
                            Step step = Step::removeStale);

// Saves the profile, then reloads it; returns the same profile object.
Result<ManagerPointer> save(const ManagerPointer& manager, Deadline deadline);

}  // namespace kelo::tunnel
