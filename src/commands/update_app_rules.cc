#include <algorithm>

#include "commands/commands.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> updateAppRules(const AppRulePayload& payload, const Context& context) {
  const auto loaded = tunnel::loadAllManagers(context.deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }

  const auto perApp = std::ranges::find_if(
      *loaded, [](const tunnel::ManagerPointer& manager) { return tunnel::hasAppRules(*manager); });
  if (perApp == loaded->end()) {
    return std::unexpected(Error{ManagerError::managerMissing()});
  }

  auto rules = apprules::buildIncludedAppRules(payload.excludedApps, context.sources);
  if (!rules) {
    return std::unexpected(rules.error());
  }
  (*perApp)->appRules = std::move(*rules);  // nothing else of the profile changes

  const auto saved = tunnel::save(*perApp, context.deadline);
  if (!saved) {
    return std::unexpected(saved.error());
  }
  // Only a running tunnel is restarted, so that the new rules take effect.
  const NETunnelProviderManager& manager = **saved;
  if (tunnel::isUpOrComingUp(manager.connection().status())) {
    return tunnel::restart(manager, context.deadline, context.restartDelay);
  }
  return tunnel::statusPayload(manager);
}

}  // namespace kelo::commands
