// The profile store: finds the tool's profiles among the platform's, removes stale ones one at
// a time, and saves and reloads a profile. Each step continues inside the platform's
// completion, on whatever thread that is delivered; platform failures get the store's
// message prefixes.
#pragma once

#include <vector>

#include "payloads/errors.h"
#include "platform/network_extension.h"

namespace kelo::tunnel {

// The provider bundle identifier of the companion packet-tunnel extension: it marks the
// profiles that are the tool's.
inline constexpr char kProviderBundleIdentifier[] = "com.kelo.vpn.desktop.PacketTunnel";

using ManagerPointer = NETunnelProviderManager::Pointer;

// The tool's profiles, in the platform's order.
void loadAllManagers(Completion<std::vector<ManagerPointer>> completion);

// The first of the tool's profiles, or null when there is none.
void loadFirstManager(Completion<ManagerPointer> completion);

// Removes the profiles one after the other; the first failure ends it.
void removeManagers(std::vector<ManagerPointer> managers, Completion<void> completion);

// Saves the profile, then reloads it; completes with the same profile object.
void save(ManagerPointer manager, Completion<ManagerPointer> completion);

}  // namespace kelo::tunnel
