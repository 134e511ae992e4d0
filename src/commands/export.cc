#include "commands/commands.h"
#include "payloads/configuration_profile.h"
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
  // A signature is the application's own text; one that XML cannot write would make the whole
  // profile unreadable.
  for (const auto& mapping : built.mappings) {
    if (!mobileconfig::carries(mapping.signingIdentifier) ||
        !mobileconfig::carries(mapping.designatedRequirement)) {
      return std::unexpected(Error{ManagerError::codesign(
          "A code signature in " + mapping.application +
          " holds a character that a configuration profile cannot carry: a control character "
          "other than tab, line feed and carriage return, U+FFFE or U+FFFF. Leave it out of "
          "\"apps\" to export the others.")});
    }
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
