#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> disconnect(tunnel::Deadline deadline) {
  const auto loaded = tunnel::loadAllManagers(deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  if (loaded->empty()) {
    return StatusPayload::notConfigured();
  }
  // Stopping returns at once: the status is the one the platform shows right after the request.
  const NETunnelProviderManager& first = *loaded->front();
  first.connection().stopVPNTunnel();
  return tunnel::statusPayload(first);
}

}  // namespace kelo::commands
