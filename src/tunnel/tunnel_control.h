// Starting, stopping and reporting a profile's tunnel: the status document of a profile, the
// start (with its stop-and-restart cycle) that "connect" and "update-app-rules" end with, and
// the switch that hands a started tunnel to the system's on-demand connection.
// Main thread; the restart delay is waited out turning the main run loop.
#pragma once

#include <chrono>

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/profile_store.h"

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

// Switches on-demand on and saves the profile, once its tunnel was asked to start: with
// on-demand on, the system brings a stopped tunnel straight back, so a restart never sees it
// down. Answers `status`, the status read after the start request.
Result<StatusPayload> switchOnDemandOn(const ManagerPointer& manager, StatusPayload status,
                                       Deadline deadline);

}  // namespace kelo::tunnel
