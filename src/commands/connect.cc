#include "commands/commands.h"
#include "tunnel/configuration.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

using tunnel::ManagerPointer;

void connect(ConnectPayload payload, Completion<StatusPayload> completion,
             apprules::AppRuleSources sources) {
  const bool perAppMode = !payload.excludedApps.empty();
  tunnel::loadAllManagers([payload = std::move(payload), completion = std::move(completion),
                           sources = std::move(sources), perAppMode](auto loaded) {
    if (!loaded) {
      completion(std::unexpected(loaded.error()));
      return;
    }
    ManagerPointer chosen;
    for (const auto& manager : *loaded) {
      if (tunnel::hasAppRules(*manager) == perAppMode) {
        chosen = manager;
        break;
      }
    }
    if (!chosen) {
      chosen =
          perAppMode ? NETunnelProviderManager::forPerAppVPN() : NETunnelProviderManager::init();
    }
    std::vector<ManagerPointer> stale;
    for (const auto& manager : *loaded) {
      if (manager != chosen) {
        stale.push_back(manager);
      }
    }

    // Rules are built only once the stale profiles are gone.
    auto configureAndStart = [payload, completion, sources, perAppMode, chosen] {
      const auto buildAppRules = [&payload, &sources] {
        return apprules::buildIncludedAppRules(payload.excludedApps, sources);
      };
      if (auto configured = tunnel::configure(*chosen, payload, perAppMode, buildAppRules);
          !configured) {
        completion(std::unexpected(configured.error()));
        return;
      }
      tunnel::save(chosen, [completion](auto saved) {
        if (!saved) {
          completion(std::unexpected(saved.error()));
          return;
        }
        tunnel::start(*saved, completion);
      });
    };
    if (stale.empty()) {
      configureAndStart();
      return;
    }
    tunnel::removeManagers(std::move(stale), [completion, configureAndStart](auto removed) {
      if (!removed) {
        completion(std::unexpected(removed.error()));
        return;
      }
      configureAndStart();
    });
  });
}

}  // namespace kelo::commands
