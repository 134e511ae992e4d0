// Starting, stopping and reporting a profile's tunnel: "status", "disconnect", and the start
// (with its stop-and-restart cycle) that connect and update-app-rules end with. The restart
// step runs on a background thread after the restart delay.
#include <chrono>

#include "kelo_desktop_ne_manager.h"
#include "platform/delayed_work.h"

namespace kelo {

namespace {

struct StatusWord {
  const char* word;
  bool connected;
  bool connecting;
  bool disconnecting;
};

StatusWord describe(NEVPNStatus status) {
  switch (status) {
    case NEVPNStatusInvalid:
      return {"invalid", false, false, false};
    case NEVPNStatusDisconnected:
      return {"disconnected", false, false, false};
    case NEVPNStatusConnecting:
      return {"connecting", false, true, false};
    case NEVPNStatusConnected:
      return {"connected", true, false, false};
    case NEVPNStatusReasserting:
      return {"reasserting", false, true, false};
    case NEVPNStatusDisconnecting:
      return {"disconnecting", false, false, true};
    default:
      return {"unknown", false, false, false};
  }
}

// Runs `report` on the first tool profile, or answers "not configured" when there is none.
void withFirstToolProfile(Completion<StatusPayload> completion,
                          std::function<StatusPayload(NETunnelProviderManager&)> report) {
  KeloDesktopNEManager::loadAllManagers(
      [completion = std::move(completion), report = std::move(report)](auto managers) {
        if (!managers) {
          completion(std::unexpected(managers.error()));
          return;
        }
        if (managers->empty()) {
          completion(StatusPayload::notConfigured());
          return;
        }
        completion(report(*managers->front()));
      });
}

}  // namespace

StatusPayload KeloDesktopNEManager::statusPayload(const NETunnelProviderManager& manager) {
  const StatusWord state = describe(manager.connection().status());
  const std::size_t rules = manager.appRules ? manager.appRules->size() : 0;
  return {.configured = true,
          .connected = state.connected,
          .connecting = state.connecting,
          .disconnecting = state.disconnecting,
          .status = state.word,
          .perAppMode = rules > 0,
          .appRuleCount = static_cast<std::int64_t>(rules)};
}

void KeloDesktopNEManager::start(ManagerPointer manager, Completion<StatusPayload> completion) {
  NEVPNConnection& connection = manager->connection();
  if (isUpOrComingUp(connection.status())) {
    // Look again after the delay, for as long as the tunnel is still up.
    stopAndRestart(std::move(manager), std::move(completion));
    return;
  }
  if (auto* session = dynamic_cast<NETunnelProviderSession*>(&connection)) {
    const auto started = session->startVPNTunnel();
    if (!started) {
      completion(std::unexpected(Error{ManagerError::networkExtension(
          "Failed to start packet tunnel: " + started.error().localizedDescription)}));
      return;
    }
  }
  completion(statusPayload(*manager));
}

void KeloDesktopNEManager::stopAndRestart(ManagerPointer manager,
                                          Completion<StatusPayload> completion) {
  manager->connection().stopVPNTunnel();
  runAfter(std::chrono::duration<double>(kRestartDelaySeconds),
           [manager = std::move(manager), completion = std::move(completion)] {
             start(manager, completion);
           });
}

void KeloDesktopNEManager::disconnect(Completion<StatusPayload> completion) {
  withFirstToolProfile(std::move(completion), [](NETunnelProviderManager& manager) {
    manager.connection().stopVPNTunnel();
    return statusPayload(manager);
  });
}

void KeloDesktopNEManager::status(Completion<StatusPayload> completion) {
  withFirstToolProfile(std::move(completion),
                       [](NETunnelProviderManager& manager) { return statusPayload(manager); });
}

}  // namespace kelo
