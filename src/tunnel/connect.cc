// The connect command: leaves exactly one tool profile of the requested kind, filled from the
// request, saved and started. Entered on the main thread; every later step runs inside the
// completion of the platform request before it.
#include "kelo_desktop_ne_manager.h"

namespace kelo {

void KeloDesktopNEManager::connect(ConnectPayload payload, Completion<StatusPayload> completion,
                                   AppRuleSources sources) {
  const bool perAppMode = !payload.excludedApps.empty();
  loadAllManagers([payload = std::move(payload), completion = std::move(completion),
                   sources = std::move(sources), perAppMode](auto loaded) {
    if (!loaded) {
      completion(std::unexpected(loaded.error()));
      return;
    }
    ManagerPointer chosen;
    for (const auto& manager : *loaded) {
      if (hasAppRules(*manager) == perAppMode) {
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
      if (auto configured = configure(*chosen, payload, perAppMode, sources); !configured) {
        completion(std::unexpected(configured.error()));
        return;
      }
      save(chosen, [completion](auto saved) {
        if (!saved) {
          completion(std::unexpected(saved.error()));
          return;
        }
        start(*saved, completion);
      });
    };
    if (stale.empty()) {
      configureAndStart();
      return;
    }
    removeManagers(std::move(stale), [completion, configureAndStart](auto removed) {
      if (!removed) {
        completion(std::unexpected(removed.error()));
        return;
      }
      configureAndStart();
    });
  });
}

}  // namespace kelo
