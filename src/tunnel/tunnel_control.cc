#include "tunnel/tunnel_control.h"

#include <chrono>

#include "platform/delayed_work.h"

namespace kelo::tunnel {

namespace {

constexpr double kRestartDelaySeconds = 1.0;

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

}  // namespace

StatusPayload statusPayload(const NETunnelProviderManager& manager) {
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

void start(NETunnelProviderManager::Pointer manager, Completion<StatusPayload> completion) {
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

void stopAndRestart(NETunnelProviderManager::Pointer manager,
                    Completion<StatusPayload> completion) {
  manager->connection().stopVPNTunnel();
  runAfter(std::chrono::duration<double>(kRestartDelaySeconds),
           [manager = std::move(manager), completion = std::move(completion)] {
             start(manager, completion);
           });
}

}  // namespace kelo::tunnel
