// Starting, stopping and reporting a profile's tunnel: the status document of a profile, and
// the start (with its stop-and-restart cycle) that "connect" and "update-app-rules" end with.
// Main thread; the restart delay is waited out turning the main run loop.
#pragma once

#include <chrono>

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"

namespace kelo::tunnel {

// How long a running tunnel is given to go down between the request to stop and the next look.
inline constexpr std::chrono::duration<double> kRestartDelay{1.0};

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

// Starts the profile's tunnel and returns its status, read right after the request; a tunnel
// that is up or coming up is restarted instead.
Result<StatusPayload> start(const NETunnelProviderManager& manager, Deadline deadline,
                            std::chrono::duration<double> restartDelay);

// Asks the tunnel to stop and looks again after `restartDelay`, for as long as it stays up or
// coming up, then starts it.
Result<StatusPayload> restart(const NETunnelProviderManager& manager, Deadline deadline,
                              std::chrono::duration<double> restartDelay);

}  // namespace kelo::tunnel
