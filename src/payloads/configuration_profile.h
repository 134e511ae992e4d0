// The configuration profile that device management installs on an organisation's Macs (a
// ".mobileconfig"): the profile that "export" writes from a connect request, as an XML property
// list. Deterministic: the same request gives the same bytes, UUIDs included, so that a profile
// pushed again replaces the one installed. Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/network_extension.h"

namespace kelo::mobileconfig {

// One application identity that a per-app profile sends through the tunnel, and the request's
// entry that it came from.
struct AppMapping {
  std::string signingIdentifier;
  std::string designatedRequirement;
  std::string application;

  bool operator==(const AppMapping&) const = default;
};

// The UUIDs of a profile, each name-based on the profile's identifier: the profile's own, its
// payloads', and the VPN's, by which the application mappings name the VPN payload.
struct ProfileUUIDs {
  std::string profile;
  std::string vpnPayload;
  std::string mappingPayload;
  std::string vpn;
};

ProfileUUIDs uuidsFor(std::string_view payloadIdentifier);

// What a profile is written from. Without mappings it is a full-tunnel ("com.apple.vpn.managed")
// profile, with them a per-app one ("com.apple.vpn.managed.applayer" and an
// "com.apple.vpn.managed.appmapping" payload).
struct ProfileContents {
  std::string_view name;  // the VPN's, as the system's settings show it
  // Reverse-DNS names: the profile's, and the application's that holds the provider.
  std::string_view payloadIdentifier;
  std::string_view applicationBundleIdentifier;
  std::optional<std::string_view> organization;
  const NETunnelProviderProtocol& protocol;
  const std::vector<NEOnDemandRule>& onDemandRules;
  const std::vector<AppMapping>& mappings;
  bool perApp = false;
};

// Whether a profile can carry the text: XML 1.0 has no way to write the control characters
// other than tab, line feed and carriage return, nor U+FFFE and U+FFFF.
bool carries(std::string_view text);

// The profile as an XML property list in UTF-8, dictionary keys in the order of their bytes,
// indented by tabs as Apple's tools write them. The provider configuration is carried without
// its private key: each device has its own.
std::string written(const ProfileContents& contents);

}  // namespace kelo::mobileconfig
