#include "tunnel/tunnel_control.h"

#include <algorithm>

#include "payloads/progress.h"
#include "platform/change_gate.h"
#include "tunnel/on_demand_pause.h"

namespace kelo::tunnel {

namespace {

struct StatusWord {
  std::string_view word;
  bool connected;
  bool connecting;
  bool disconnecting;
};

StatusWord describe(NEVPNStatus status) {
  if (status < 0 || static_cast<std::size_t>(status) >= kStatusWords.size()) {
    return {"unknown", false, false, false};
  }
  return {kStatusWords[static_cast<std::size_t>(status)], status == NEVPNStatusConnected,
          status == NEVPNStatusConnecting || status == NEVPNStatusReasserting,
          status == NEVPNStatusDisconnecting};
}

Result<void> askToStart(NETunnelProviderSession& session) {
  if (const auto started = session.startVPNTunnel(); !started) {
    ManagerError failure = ManagerError::networkExtension("Failed to start packet tunnel: " +
                                                          started.error().localizedDescription)
                               .at(Step::start);
    failure.cause = started.error().cause;
    return std::unexpected(Error{std::move(failure)});
  }
  return {};
}

// A Mac drops a start asked for while the tunnel is still going down, without a word: a start
// that finds the tunnel still disconnecting is watched until it goes down, then asked for once
// more, or until it comes up, which means that it was taken.
Result<void> startAgainOnceDown(NETunnelProviderSession& session, Deadline deadline) {
  NEVPNStatus status = session.status();
  if (status != NEVPNStatusDisconnecting) {
    return {};
  }
  const auto end = std::min(runloop::Clock::now() + kDroppedStartWatch, deadline - kAnswerRoom);
  while (status == NEVPNStatusDisconnecting && runloop::Clock::now() < end) {
    if (auto waited = waitOut(kRunLoopSlice, deadline); !waited) {
      return std::unexpected(inStep(waited.error(), Step::start));
    }
    status = session.status();
  }
  return status == NEVPNStatusDisconnected ? askToStart(session) : Result<void>{};
}

// Asks a tunnel-provider session to start (a connection of another kind starts nothing) and
// reports the status the platform shows right after the request, or, where the start was
// dropped, after it was asked for again.
Result<StatusPayload> requestStart(const NETunnelProviderManager& manager, Deadline deadline) {
  progress::enter(Step::start);
  if (auto* session = dynamic_cast<NETunnelProviderSession*>(&manager.connection())) {
    if (auto started = askToStart(*session); !started) {
      return std::unexpected(started.error());
    }
    if (auto again = startAgainOnceDown(*session, deadline); !again) {
      return std::unexpected(again.error());
    }
  }
  return statusPayload(manager);
}

}  // namespace

StatusPayload statusPayload(const NETunnelProviderManager& manager) {
  const StatusWord state = describe(manager.connection().status());
  const std::size_t rules = manager.appRules ? manager.appRules->size() : 0;
  return {.configured = true,
          .connected = state.connected,
          .connecting = state.connecting,
          .disconnecting = state.disconnecting,
          .status = std::string(state.word),
          .perAppMode = rules > 0,
          .appRuleCount = static_cast<std::int64_t>(rules)};
}

Result<StatusPayload> reported(Result<StatusPayload> outcome,
                               const NETunnelProviderManager& manager, Deadline deadline,
                               Protocol protocol) {
  if (!outcome || protocol == Protocol::one) {
    return outcome;
  }
  // A Mac keeps the date while the tunnel reasserts or goes down: it is told only while the
  // status reads connected.
  if (outcome->status == kStatusWords[NEVPNStatusConnected]) {
    outcome->connectedSince = manager.connection().connectedDate();
  }
  outcome->onDemandEnabled = manager.onDemandEnabled;
  outcome->onDemandRules = manager.onDemandRules.value_or(std::vector<NEOnDemandRule>{});
  outcome->appRules = manager.appRules.value_or(std::vector<NEAppRule>{});
  outcome->enabled = manager.enabled;
  if (const auto* protocolSettings =
          dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get())) {
    outcome->serverAddress = protocolSettings->serverAddress;
    outcome->networkPolicy =
        NetworkPolicyState{.includeAllNetworks = protocolSettings->includeAllNetworks,
                           .excludeLocalNetworks = protocolSettings->excludeLocalNetworks,
                           .disconnectOnSleep = protocolSettings->disconnectOnSleep,
                           .enforceRoutes = protocolSettings->enforceRoutes.value_or(false)};
  }
  using Fetched = std::optional<PlatformError>;
  progress::enter(Step::load);
  const auto bound = std::min(deadline, runloop::Clock::now() + kLastDisconnectErrorTime);
  auto fetched = awaitResult<Fetched>(bound, [&manager](auto completion) {
    manager.connection().fetchLastDisconnectError(std::move(completion));
  });
  // Asked for after the last change: a platform that does not answer in time, a run that must
  // end, or its deadline, leaves it unknown rather than turning the change that was made into a
  // failure.
  if (fetched) {
    outcome->lastDisconnectError = std::move(*fetched);
  }
  return outcome;
}

Result<StatusPayload> start(const NETunnelProviderManager& manager, Deadline deadline,
                            std::chrono::duration<double> restartDelay) {
  if (isUpOrComingUp(manager.connection().status())) {
    return restart(manager, deadline, restartDelay);
  }
  return requestStart(manager, deadline);
}

Result<StatusPayload> restart(const NETunnelProviderManager& manager, Deadline deadline,
                              std::chrono::duration<double> restartDelay) {
  NEVPNConnection& connection = manager.connection();
  progress::enter(Step::stop);
  do {
    connection.stopVPNTunnel();
    if (auto waited = waitOut(restartDelay, deadline); !waited) {
      return std::unexpected(inStep(waited.error(), Step::stop));
    }
  } while (isUpOrComingUp(connection.status()));
  return requestStart(manager, deadline);
}

Result<void> stopAll(const std::vector<ManagerPointer>& managers, Deadline deadline,
                     std::chrono::duration<double> limit) {
  progress::enter(Step::stop);
  const auto running = [](const ManagerPointer& manager) {
    const NEVPNStatus status = manager->connection().status();
    return isUpOrComingUp(status) || status == NEVPNStatusReasserting;
  };
  const auto down = [](const ManagerPointer& manager) {
    const NEVPNStatus status = manager->connection().status();
    return status == NEVPNStatusDisconnected || status == NEVPNStatusInvalid;
  };
  // A stop that was not taken on changes nothing: its tunnel is not waited for.
  std::vector<ManagerPointer> stopping;
  for (const auto& manager : managers) {
    if (!running(manager) || manager->connection().stopVPNTunnel()) {
      stopping.push_back(manager);
    }
  }
  const auto end = runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(
                                               std::chrono::duration<double>(limit));
  while (!std::ranges::all_of(stopping, down) && runloop::Clock::now() < end) {
    if (auto waited = waitOut(kRunLoopSlice, deadline); !waited) {
      return std::unexpected(inStep(waited.error(), Step::stop));
    }
  }
  return {};
}

Result<StatusPayload> switchOnDemandOn(const ManagerPointer& manager, Result<StatusPayload> outcome,
                                       Deadline deadline) {
  manager->onDemandEnabled = true;
  forgetPause(*manager);
  if (outcome) {
    if (const auto saved = save(manager, deadline); !saved) {
      return std::unexpected(saved.error());
    }
    return outcome;
  }
  const changes::Repair repair;
  const auto saved = save(manager, std::max(deadline, runloop::Clock::now() + kRepairTime));
  if (saved) {
    return outcome;
  }
  // The failure it was, and what is left of it.
  Error failure = outcome.error();
  RepairFailure failedRepair{.message = failureMessage(saved.error()),
                             .step = Step::save,
                             .cause = platformCause(saved.error())};
  if (auto* own = std::get_if<ManagerError>(&failure)) {
    own->repair = std::move(failedRepair);
    return std::unexpected(std::move(failure));
  }
  ManagerError told = ManagerError::networkExtension(failureMessage(failure))
                          .coded(failureCode(failure))
                          .at(failureStep(failure));
  told.cause = platformCause(failure);
  told.repair = std::move(failedRepair);
  return std::unexpected(Error{std::move(told)});
}

}  // namespace kelo::tunnel
