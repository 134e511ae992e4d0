// The request documents read from standard input ("connect", "update-app-rules", "wait",
// "export"), and their strict decoding. Decoding is pure (bytes in, value or error out); the
// driver calls it on the main thread before any platform work starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/errors.h"
#include "platform/network_extension.h"

namespace kelo {

// The traffic settings a "connect" may choose, named after the protocol's own; absent, each
// keeps the tool's choice (see tunnel::configure).
struct NetworkPolicy {
  std::optional<bool> includeAllNetworks;
  std::optional<bool> excludeLocalNetworks;
  std::optional<bool> enforceRoutes;
  std::optional<bool> disconnectOnSleep;

  bool operator==(const NetworkPolicy&) const = default;
};

// When "connect" removes the tool's other profiles: before anything else, or only once the
// chosen profile is saved, so that a connect that fails leaves the stored profiles as they were.
enum class StaleProfiles { removeFirst, removeAfterSave };

// Which executables per-app rules name: the first file of each application's Contents/MacOS,
// with its path; or the executable its Info.plist names and the code nested in it, by signature
// alone.
enum class RuleCoverage { firstExecutable, wholeApplication };

// What becomes of an excluded application that is not installed: the request fails, naming
// every such entry, or goes on without it.
enum class MissingApps { fail, skip };

// The request of "connect". Fields in the order in which they are decoded.
struct ConnectPayload {
  enum class CodingKeys {
    privateKey,
    address,
    dns,
    peerPublicKey,
    peerEndpoint,
    allowedIps,
    mtu,
    keepaliveSeconds,
    excludedApps,
    onDemandRules,
    networkPolicy,
    staleProfiles,
    ruleCoverage,
    missingApps,
    takeOver
  };

  std::string privateKey;
  std::string address;
  std::string dns;
  std::string peerPublicKey;
  std::string peerEndpoint;
  std::string allowedIps;
  std::optional<std::int64_t> mtu;
  std::optional<std::int64_t> keepaliveSeconds;
  std::vector<std::string> excludedApps;
  // When the system brings the tunnel up or down by itself; none when absent.
  std::vector<NEOnDemandRule> onDemandRules;
  NetworkPolicy networkPolicy = {};
  StaleProfiles staleProfiles = StaleProfiles::removeFirst;
  // Absent: first executables.
  std::optional<RuleCoverage> ruleCoverage = std::nullopt;
  MissingApps missingApps = MissingApps::fail;
  // Whether a connect selects its profile again when another VPN configuration has been
  // selected since (the Mac enables one at a time); false refuses instead, changing nothing.
  bool takeOver = true;

  // Fails with a decoding error, a platform error that names the offending member.
  static Result<ConnectPayload> decode(std::string_view json);

  bool operator==(const ConnectPayload&) const = default;
};

// The request of "update-app-rules".
struct AppRulePayload {
  enum class CodingKeys { excludedApps, ruleCoverage, missingApps };

  std::vector<std::string> excludedApps;
  // Absent: the coverage the stored rules were built with.
  std::optional<RuleCoverage> ruleCoverage = std::nullopt;
  MissingApps missingApps = MissingApps::fail;

  static Result<AppRulePayload> decode(std::string_view json);

  bool operator==(const AppRulePayload&) const = default;
};

// What "export" adds to a connect request: the names of the configuration profile, and the
// applications it maps to the tunnel.
struct ExportSettings {
  enum class CodingKeys { payloadIdentifier, applicationBundleIdentifier, organization, apps };

  // Reverse-DNS names: the profile's own, and the application's that holds the provider.
  std::string payloadIdentifier;
  std::string applicationBundleIdentifier;
  std::optional<std::string> organization;
  // Empty: a full-tunnel profile; otherwise a per-app profile that maps these applications.
  std::vector<std::string> apps;

  bool operator==(const ExportSettings&) const = default;
};

// The request of "export": a connect request whose private key may be left out, without
// excluded applications, and with its "export" member.
struct ExportPayload {
  ConnectPayload connect;
  bool privateKeyGiven = false;
  ExportSettings settings;

  static Result<ExportPayload> decode(std::string_view json);

  bool operator==(const ExportPayload&) const = default;
};

// The longest a "wait" may wait: a run ends within 15 seconds, and must still answer.
inline constexpr double kMaximumWaitSeconds = 14.0;

// The request of "wait". No bytes, or only white space, ask for every default.
struct WaitPayload {
  enum class CodingKeys { until, timeoutSeconds };

  // The statuses that end the wait: by default the settled ones.
  std::vector<NEVPNStatus> until = {NEVPNStatusInvalid, NEVPNStatusDisconnected,
                                    NEVPNStatusConnected};
  double timeoutSeconds = kMaximumWaitSeconds;

  static Result<WaitPayload> decode(std::string_view json);

  bool operator==(const WaitPayload&) const = default;
};

// The JSON member name of a key.
std::string_view stringValue(ConnectPayload::CodingKeys key);
std::string_view stringValue(AppRulePayload::CodingKeys key);
std::string_view stringValue(WaitPayload::CodingKeys key);
std::string_view stringValue(ExportSettings::CodingKeys key);

// Larger requests are refused before they are parsed. A real request is a few keys and a list
// of application paths: a thousand paths of a hundred bytes each take a tenth of this.
inline constexpr std::size_t kMaximumRequestBytes = 1u << 20;
// Requests are four levels deep; anything far deeper is refused while parsing.
inline constexpr int kMaximumRequestDepth = 64;
// The on-demand rules a request may name, the networks one rule may name, and the length of a
// network name, which Wi-Fi bounds at 32 bytes.
inline constexpr std::size_t kMaximumOnDemandRules = 64;
inline constexpr std::size_t kMaximumNetworkNames = 64;
inline constexpr std::size_t kMaximumNetworkNameBytes = 32;

}  // namespace kelo
