#include "commands/commands.h"
#include "payloads/progress.h"
#include "tunnel/on_demand_pause.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> disconnect(tunnel::Deadline deadline, Protocol protocol) {
  const auto loaded = tunnel::loadAllManagers(deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  if (loaded->empty()) {
    return StatusPayload::notConfigured();
  }
  const tunnel::ManagerPointer& first = loaded->front();
  // The system would bring the tunnel straight back: on-demand goes off first, and its rules stay
  // for the next "connect". Off on purpose, it is no pause for a later run to undo.
  if (first->onDemandEnabled || tunnel::onDemandPaused(*first)) {
    first->onDemandEnabled = false;
    tunnel::forgetPause(*first);
    if (const auto saved = tunnel::save(first, deadline); !saved) {
      return std::unexpected(saved.error());
    }
  }
  // Stopping returns at once: the status is the one the platform shows right after the request.
  progress::enter(Step::stop);
  first->connection().stopVPNTunnel();
  return tunnel::reported(tunnel::statusPayload(*first), *first, deadline, protocol);
}

}  // namespace kelo::commands
