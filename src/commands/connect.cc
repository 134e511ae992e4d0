#include <algorithm>

#include "commands/commands.h"
#include "tunnel/configuration.h"
#include "tunnel/on_demand_pause.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

using tunnel::ManagerPointer;

Result<StatusPayload> connect(const ConnectPayload& payload, const Context& context) {
  const bool perAppMode = !payload.excludedApps.empty();

  const auto loaded = tunnel::loadAllManagers(context.deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  // Another VPN configuration was selected since (none of the tool's profiles is enabled): a
  // request that does not take over leaves everything as it is, for the user to decide.
  const auto selected = [](const ManagerPointer& manager) { return manager->enabled; };
  if (!payload.takeOver && !loaded->empty() && std::ranges::none_of(*loaded, selected)) {
    return std::unexpected(Error{
        ManagerError::networkExtension(
            "Another VPN configuration is selected on this Mac, and the request does not take "
            "over from it: the Kelo VPN profile was left as it is.")
            .coded(FailureCode::otherVpnSelected)
            .at(Step::load)});
  }
  if (auto resumed = tunnel::settleLeftPaused(*loaded, true, context.deadline); !resumed) {
    return std::unexpected(resumed.error());
  }

  // The first profile of the requested kind is kept; a new one is made when there is none.
  const auto kept = std::ranges::find_if(*loaded, [perAppMode](const ManagerPointer& manager) {
    return tunnel::hasAppRules(*manager) == perAppMode;
  });
  const ManagerPointer chosen = kept != loaded->end() ? *kept
                                : perAppMode          ? NETunnelProviderManager::forPerAppVPN()
                                                      : NETunnelProviderManager::init();

  // The other profiles go first, or, when the request asks for it, only once the chosen one is
  // saved: a connect that fails before then leaves every stored profile as it was.
  std::vector<ManagerPointer> stale;
  std::ranges::remove_copy(*loaded, std::back_inserter(stale), chosen);
  const bool removeFirst = payload.staleProfiles == StaleProfiles::removeFirst;
  if (removeFirst) {
    if (auto removed = tunnel::removeManagers(stale, context.deadline); !removed) {
      return std::unexpected(removed.error());
    }
  }

  // Rules are built only after a first removal; a full tunnel writes its empty list.
  apprules::BuiltRules built;
  if (perAppMode) {
    auto rules = apprules::buildIncludedAppRules(
        payload.excludedApps, context.sources,
        {payload.ruleCoverage.value_or(RuleCoverage::firstExecutable), payload.missingApps});
    if (!rules) {
      return std::unexpected(rules.error());
    }
    built = std::move(*rules);
  }
  tunnel::configure(*chosen, payload, perAppMode, std::move(built.rules));
  const bool onDemand = !payload.onDemandRules.empty();
  if (onDemand) {
    tunnel::pauseOnDemand(*chosen);  // until the start was asked for
  }

  const auto saved = tunnel::save(chosen, context.deadline);
  if (!saved) {
    return std::unexpected(saved.error());
  }
  if (!removeFirst) {
    if (auto removed = tunnel::removeManagers(stale, context.deadline); !removed) {
      return std::unexpected(removed.error());
    }
  }
  auto started = tunnel::start(**saved, context.deadline, context.restartDelay);
  // On again whatever ended the start: a failure, a stop signal, the deadline.
  if (onDemand) {
    started = tunnel::switchOnDemandOn(chosen, std::move(started), context.deadline);
  }
  if (started && perAppMode) {
    started->skippedApplications = std::move(built.skipped);
  }
  return tunnel::reported(std::move(started), *chosen, context.deadline, context.protocol);
}

}  // namespace kelo::commands
