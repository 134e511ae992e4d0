#include <algorithm>

#include "commands/commands.h"
#include "tunnel/on_demand_pause.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> updateAppRules(const AppRulePayload& payload, const Context& context) {
  const auto loaded = tunnel::loadAllManagers(context.deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  if (auto resumed = tunnel::settleLeftPaused(*loaded, true, context.deadline); !resumed) {
    return std::unexpected(resumed.error());
  }

  const auto perApp = std::ranges::find_if(
      *loaded, [](const tunnel::ManagerPointer& manager) { return tunnel::hasAppRules(*manager); });
  if (perApp == loaded->end()) {
    return std::unexpected(Error{ManagerError::managerMissing().coded(
        loaded->empty() ? FailureCode::notConfigured : FailureCode::notPerApp)});
  }

  NETunnelProviderManager& manager = **perApp;
  // Without a choice, the rules are built as the stored ones were: whole-application rules name
  // no path.
  const bool builtWhole =
      manager.appRules && std::ranges::any_of(*manager.appRules, [](const NEAppRule& rule) {
        return !rule.matchPath.has_value();
      });
  const RuleCoverage coverage = payload.ruleCoverage.value_or(
      builtWhole ? RuleCoverage::wholeApplication : RuleCoverage::firstExecutable);
  auto rules = apprules::buildIncludedAppRules(payload.excludedApps, context.sources,
                                               {coverage, payload.missingApps});
  if (!rules) {
    return std::unexpected(rules.error());
  }
  manager.appRules = std::move(rules->rules);  // nothing else of the profile changes for good
  // A running tunnel that the system keeps up on demand is restarted with on-demand off, which
  // goes back on once the start was requested, or, should anything fail once it was switched
  // off, before the run ends.
  const bool pauseOnDemand =
      manager.onDemandEnabled && tunnel::isUpOrComingUp(manager.connection().status());
  if (pauseOnDemand) {
    tunnel::pauseOnDemand(manager);
  }

  const auto saved = tunnel::save(*perApp, context.deadline);
  // A save the platform refused stored nothing, on-demand's switch-off included.
  const bool refused = !saved && failureCode(saved.error()) == FailureCode::platform &&
                       failureStep(saved.error()) == Step::save;
  if (!saved && (refused || !pauseOnDemand)) {
    return std::unexpected(saved.error());
  }
  // Only a running tunnel is restarted, so that the new rules take effect.
  auto status = !saved ? Result<StatusPayload>(std::unexpected(saved.error()))
                : tunnel::isUpOrComingUp(manager.connection().status())
                    ? tunnel::restart(manager, context.deadline, context.restartDelay)
                    : tunnel::statusPayload(manager);
  if (pauseOnDemand) {
    status = tunnel::switchOnDemandOn(*perApp, std::move(status), context.deadline);
  }
  if (status) {
    status->skippedApplications = std::move(rules->skipped);
  }
  return tunnel::reported(std::move(status), manager, context.deadline, context.protocol);
}

}  // namespace kelo::commands
