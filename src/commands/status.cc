#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> status(tunnel::Deadline deadline, Protocol protocol) {
  const auto loaded = tunnel::loadAllManagers(deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  if (loaded->empty()) {
    return StatusPayload::notConfigured();
  }
  const NETunnelProviderManager& first = *loaded->front();
  return tunnel::reported(tunnel::statusPayload(first), first, deadline, protocol);
}

}  // namespace kelo::commands
