#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

using tunnel::ManagerPointer;

void updateAppRules(AppRulePayload payload, Completion<StatusPayload> completion,
                    apprules::AppRuleSources sources) {
  // The restart of a running tunnel happens on a background thread, after the restart delay.
  tunnel::loadAllManagers([payload = std::move(payload), completion = std::move(completion),
                           sources = std::move(sources)](auto loaded) {
    if (!loaded) {
      completion(std::unexpected(loaded.error()));
      return;
    }
    ManagerPointer chosen;
    for (const auto& manager : *loaded) {
      if (tunnel::hasAppRules(*manager)) {
        chosen = manager;
        break;
      }
    }
    if (!chosen) {
      completion(std::unexpected(Error{ManagerError::managerMissing()}));
      return;
    }
    auto rules = apprules::buildIncludedAppRules(payload.excludedApps, sources);
    if (!rules) {
      completion(std::unexpected(rules.error()));
      return;
    }
    chosen->appRules = std::move(*rules);
    tunnel::save(chosen, [completion](auto saved) {
      if (!saved) {
        completion(std::unexpected(saved.error()));
        return;
      }
      const ManagerPointer& manager = *saved;
      if (tunnel::isUpOrComingUp(manager->connection().status())) {
        tunnel::stopAndRestart(manager, completion);
        return;
      }
      completion(tunnel::statusPayload(*manager));
    });
  });
}

}  // namespace kelo::commands
