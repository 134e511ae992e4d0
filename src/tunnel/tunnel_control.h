// Starting, stopping and reporting a profile's tunnel: the status document of a profile, the
// start (with its stop-and-restart cycle) that "connect" and "update-app-rules" end with, and
// the switch that hands a started tunnel to the system's on-demand connection.
// Main thread; the restart delay is waited out turning the main run loop.
#pragma once

#include <chrono>

#include "payloads/errors.h"
#include "payloads/protocol.h"
#include "payloads/status_payload.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/profile_store.h"

namespace kelo::tunnel {

// How long a running tunnel is given to go down between the request to stop and the next look.
inline constexpr std::chrono::duration<double> kRestartDelay{1.0};

// What a command that watches the tunnel leaves of the run's 15 seconds: time to read what is
// reported and write the answer.
inline constexpr std::chrono::seconds kAnswerRoom{1};

// How long a start that finds the tunnel still going down watches it, to ask again once it is
// down (less where the run has less left).
inline constexpr std::chrono::seconds kDroppedStartWatch{5};

// How long the platform is given to tell the last disconnect error before it is reported unknown.
inline constexpr std::chrono::seconds kLastDisconnectErrorTime{2};

// A per-app profile carries at least one application rule; a full-tunnel profile none.
inline bool hasAppRules(const NETunnelProviderManager& manager) {
  return manager.appRules && !manager.appRules->empty();
}

// A tunnel that is up or coming up must be stopped before new settings can take effect.
inline bool isUpOrComingUp(NEVPNStatus status) {
  return status == NEVPNStatusConnected || status == NEVPNStatusConnecting;
}

// The status of a profile, as protocol 1 has it.
StatusPayload statusPayload(const NETunnelProviderManager& manager);

// A command's answer about the profile as the caller's protocol has it: under protocol 2 what
// the profile holds now (server, connected date, on-demand, traffic settings, rules), and the
// last disconnect error, which the platform is asked for and which stays unknown (null) when
// its answer does not come before the run must end. A failure is passed on.
Result<StatusPayload> reported(Result<StatusPayload> outcome,
                               const NETunnelProviderManager& manager, Deadline deadline,
                               Protocol protocol);

// Starts the profile's tunnel and returns its status, read right after the request; a tunnel
// that is up or coming up is restarted instead. A start that finds the tunnel still
// disconnecting, which a Mac drops, is asked for again once the tunnel is down.
Result<StatusPayload> start(const NETunnelProviderManager& manager, Deadline deadline,
                            std::chrono::duration<double> restartDelay);

// Asks the tunnel to stop and looks again after `restartDelay`, for as long as it stays up or
// coming up, then starts it.
Result<StatusPayload> restart(const NETunnelProviderManager& manager, Deadline deadline,
                              std::chrono::duration<double> restartDelay);

// Asks every profile's tunnel that is up or coming up (or reasserting) to stop, and turns the
// main run loop until each reads disconnected or invalid, or `limit` has passed: a tunnel that
// ignores the stop is left as it is, and one whose stop was not taken on is not waited for.
// Fails only when the run must end or its deadline passes.
Result<void> stopAll(const std::vector<ManagerPointer>& managers, Deadline deadline,
                     std::chrono::duration<double> limit);

// How long a repair may take once the run was asked to end, or its deadline has passed: less
// than the grace the deadline's handler gives the main thread.
inline constexpr std::chrono::milliseconds kRepairTime{200};

// Switches on-demand on and saves the profile, once its tunnel was asked to start: with
// on-demand on, the system brings a stopped tunnel straight back, so a restart never sees it
// down. Answers `outcome`, the status read after the start request. After a failure (of the
// start, a stop signal, the deadline) it repairs: on-demand goes back on all the same, within
// kRepairTime when the run was asked to end, and the failure is answered, followed by
// kOnDemandLeftOffMessage and why when that save fails too (see RepairFailure).
Result<StatusPayload> switchOnDemandOn(const ManagerPointer& manager, Result<StatusPayload> outcome,
                                       Deadline deadline);

}  // namespace kelo::tunnel
