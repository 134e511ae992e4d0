// Starting, stopping and reporting a profile's tunnel: the status document of a profile, and
// the start (with its stop-and-restart cycle) that "connect" and "update-app-rules" end with.
// The restart step runs on a background thread after the restart delay.
#pragma once

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/network_extension.h"

namespace kelo::tunnel {

// A per-app profile carries at least one application rule; a full-tunnel profile none.
inline bool hasAppRules(const NETunnelProviderManager& manager) {
  return manager.appRules && !manager.appRules->empty();
}

// A tunnel that is up or coming up must be stopped before new settings can take effect.
inline bool isUpOrComingUp(NEVPNStatus status) {
  return status == NEVPNStatusConnected || status == NEVPNStatusConnecting;
}

// The status document of a profile.
StatusPayload statusPayload(const NETunnelProviderManager& manager);

// Starts the profile's tunnel and completes with its status; a tunnel that is up or coming up
// is stopped first and looked at again after the restart delay, for as long as it stays up.
void start(NETunnelProviderManager::Pointer manager, Completion<StatusPayload> completion);

// Asks the running tunnel to stop and calls `start` again after the restart delay.
void stopAndRestart(NETunnelProviderManager::Pointer manager, Completion<StatusPayload> completion);

}  // namespace kelo::tunnel
