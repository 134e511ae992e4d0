#include "commands/commands.h"
#include "tunnel/configuration.h"

namespace kelo::commands {

Result<ExportedProfile> exportProfile(const ExportPayload& payload, const Context& context) {
  const ExportSettings& settings = payload.settings;
  const bool perApp = !settings.apps.empty();
  apprules::BuiltMappings built;
  if (perApp) {
    auto mapped =
        apprules::buildAppMappings(settings.apps, context.sources, payload.connect.missingApps);
    if (!mapped) {
      return std::unexpected(mapped.error());
    }
    built = std::move(*mapped);
  }
  const auto protocol = tunnel::tunnelProtocol(payload.connect, perApp);
  const auto uuids = mobileconfig::uuidsFor(settings.payloadIdentifier);
  ExportedProfile exported{.mobileconfig = mobileconfig::written(
                               {.name = tunnel::kProfileName,
                                .payloadIdentifier = settings.payloadIdentifier,
                                .applicationBundleIdentifier = settings.applicationBundleIdentifier,
                                .organization = settings.organization,
                                .protocol = *protocol,
                                .onDemandRules = payload.connect.onDemandRules,
                                .mappings = built.mappings,
                                .perApp = perApp}),
                           .payloadIdentifier = settings.payloadIdentifier,
                           .payloadUUID = uuids.profile,
                           .vpnUUID = perApp ? std::optional(uuids.vpn) : std::nullopt,
                           .appMappings = std::move(built.mappings),
                           .skippedApplications = std::move(built.skipped),
                           .notExported = {}};
  // A private key is never exported: each device has its own. The VPN payload has no setting
  // for disconnecting on sleep.
  if (payload.privateKeyGiven) {
    exported.notExported.emplace_back("privateKey");
  }
  if (payload.connect.networkPolicy.disconnectOnSleep) {
    exported.notExported.emplace_back("disconnectOnSleep");
  }
  return exported;
}

}  // namespace kelo::commands
