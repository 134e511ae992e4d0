// The answers of a command that succeeds, and their compact JSON forms: the status document of
// a profile (every command but "version" and "export"), the version document, and the exported
// profile. Built by tunnel control,
// the commands and the command table; written by the driver on the main thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "payloads/configuration_profile.h"
#include "payloads/protocol.h"
#include "platform/network_extension.h"
#include "platform/platform_error.h"

namespace kelo {

// The words a status document names a connection's status by, indexed by its code
// (NEVPNStatusInvalid first); a code beyond them is "unknown".
inline constexpr std::array<std::string_view, 6> kStatusWords = {
    "invalid", "disconnected", "connecting", "connected", "reasserting", "disconnecting"};

// Why an installed application got no rule.
enum class SkipReason {
  notSigned,       // the code-signing program failed on it
  noIdentifier,    // its report names no signing identifier
  noRequirement,   // its report names no designated requirement
  notUtf8,         // its path is not UTF-8, which a rule cannot name
  outputTooLarge,  // the code-signing program wrote too much about it
  notStarted,      // the code-signing program could not be started for it
  noExecutable,    // a bundle in which no executable was found
  systemApp,       // Apple's own code, for which the system takes no rule from others
  notInstalled,    // an excluded application that names nothing installed
};

struct SkippedApplication {
  std::string path;
  SkipReason reason;

  bool operator==(const SkippedApplication&) const = default;
};

// The traffic settings of a profile's protocol, as stored.
struct NetworkPolicyState {
  bool includeAllNetworks = false;
  bool excludeLocalNetworks = false;
  bool disconnectOnSleep = false;
  bool enforceRoutes = false;

  bool operator==(const NetworkPolicyState&) const = default;
};

struct StatusPayload {
  bool configured = false;
  bool connected = false;
  bool connecting = false;
  bool disconnecting = false;
  std::string status;
  bool perAppMode = false;
  std::int64_t appRuleCount = 0;

  // What protocol 2 adds. When the tunnel came up, in seconds since the Unix epoch; why it last
  // went down, where the platform says.
  std::optional<std::string> serverAddress = std::nullopt;
  std::optional<double> connectedSince = std::nullopt;
  std::optional<PlatformError> lastDisconnectError = std::nullopt;
  bool onDemandEnabled = false;
  std::vector<NEOnDemandRule> onDemandRules = {};
  std::optional<NetworkPolicyState> networkPolicy = std::nullopt;
  std::vector<NEAppRule> appRules = {};
  // Whether the profile is the Mac's selected VPN configuration: another application's that was
  // enabled since switches it off. None without a profile.
  std::optional<bool> enabled = std::nullopt;
  // Only in the answers of the commands that built rules.
  std::optional<std::vector<SkippedApplication>> skippedApplications = std::nullopt;

  // What is reported when the tool has no profile.
  static StatusPayload notConfigured();

  // Compact JSON, every member of the protocol present, slashes written plainly, no newline.
  std::string encoded(Protocol protocol = Protocol::one) const;

  bool operator==(const StatusPayload&) const = default;
};

// The answer of "version": the same in every protocol.
struct VersionPayload {
  std::string version;
  std::vector<int> protocols;
  std::vector<std::string> commands;
  // What an application may rely on beyond the first commands and requests, one word each.
  std::vector<std::string> features;

  std::string encoded() const;

  bool operator==(const VersionPayload&) const = default;
};

// The answer of "export": the profile, what went into it and what did not; the same in every
// protocol.
struct ExportedProfile {
  std::string mobileconfig;
  std::string payloadIdentifier;
  std::string payloadUUID;
  std::optional<std::string> vpnUUID;  // a per-app profile's
  std::vector<mobileconfig::AppMapping> appMappings;
  std::vector<SkippedApplication> skippedApplications;
  // The request's members that the profile cannot carry.
  std::vector<std::string> notExported;

  std::string encoded() const;

  bool operator==(const ExportedProfile&) const = default;
};

// What a command that succeeds answers.
using Reply = std::variant<StatusPayload, VersionPayload, ExportedProfile>;

std::string encoded(const Reply& reply, Protocol protocol);

// The RFC 3339 form of a moment, in UTC with milliseconds: "2025-12-05T16:00:00.250Z".
std::string rfc3339(double secondsSinceEpoch);

}  // namespace kelo
