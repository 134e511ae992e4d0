#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

void disconnect(Completion<StatusPayload> completion) {
  tunnel::loadFirstManager([completion = std::move(completion)](auto first) {
    if (!first) {
      completion(std::unexpected(first.error()));
      return;
    }
    if (!*first) {
      completion(StatusPayload::notConfigured());
      return;
    }
    // The status is read right after the request to stop, which returns at once.
    (*first)->connection().stopVPNTunnel();
    completion(tunnel::statusPayload(**first));
  });
}

}  // namespace kelo::commands
