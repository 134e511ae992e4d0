#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

void status(Completion<StatusPayload> completion) {
  tunnel::loadFirstManager([completion = std::move(completion)](auto first) {
    if (!first) {
      completion(std::unexpected(first.error()));
      return;
    }
    completion(*first ? tunnel::statusPayload(**first) : StatusPayload::notConfigured());
  });
}

}  // namespace kelo::commands
