// The update-app-rules command: recomputes the rules of the per-app profile, saves it and
// restarts a running tunnel so that they take effect. Entered on the main thread; later steps
// run inside platform completions, the restart on a background thread.
#include "kelo_desktop_ne_manager.h"

namespace kelo {

void KeloDesktopNEManager::updateAppRules(AppRulePayload payload,
                                          Completion<StatusPayload> completion,
                                          AppRuleSources sources) {
  loadAllManagers([payload = std::move(payload), completion = std::move(completion),
                   sources = std::move(sources)](auto loaded) {
    if (!loaded) {
      completion(std::unexpected(loaded.error()));
      return;
    }
    ManagerPointer chosen;
    for (const auto& manager : *loaded) {
      if (hasAppRules(*manager)) {
        chosen = manager;
        break;
      }
    }
    if (!chosen) {
      completion(std::unexpected(Error{ManagerError::managerMissing()}));
      return;
    }
    auto rules = buildIncludedAppRules(payload.excludedApps, sources);
    if (!rules) {
      completion(std::unexpected(rules.error()));
      return;
    }
    chosen->appRules = std::move(*rules);
    save(chosen, [completion](auto saved) {
      if (!saved) {
        completion(std::unexpected(saved.error()));
        return;
      }
      const ManagerPointer& manager = *saved;
      if (isUpOrComingUp(manager->connection().status())) {
        stopAndRestart(manager, completion);
        return;
      }
      completion(statusPayload(*manager));
    });
  });
}

}  // namespace kelo
