#include "tunnel/configuration.h"

#include <cstdint>

#include "text/unicode_text.h"
#include "tunnel/profile_store.h"

namespace kelo::tunnel {

namespace {

constexpr char kServerAddressFallback[] = "Kelo VPN";
constexpr std::int64_t kDefaultMTU = 1280;
constexpr std::int64_t kDefaultKeepaliveSeconds = 25;

}  // namespace

std::optional<std::string> endpointHost(std::string_view from) {
  const std::string_view endpoint = text::trimmedWhitespace(from);
  if (endpoint.empty()) {
    return std::nullopt;
  }
  if (endpoint.front() == '[') {
    const auto close = endpoint.find(']');
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    return std::string(endpoint.substr(1, close - 1));
  }
  const auto colon = endpoint.rfind(':');
  if (colon == std::string_view::npos) {
    return std::string(endpoint);
  }
  return std::string(endpoint.substr(0, colon));
}

std::shared_ptr<NETunnelProviderProtocol> tunnelProtocol(const ConnectPayload& payload,
                                                         bool perAppMode) {
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier = kProviderBundleIdentifier;
  protocol->serverAddress = endpointHost(payload.peerEndpoint).value_or(kServerAddressFallback);
  // The traffic settings the request chose; by default a full tunnel is a kill switch, and
  // strict routes are left as the system has them.
  const NetworkPolicy& policy = payload.networkPolicy;
  protocol->disconnectOnSleep = policy.disconnectOnSleep.value_or(false);
  protocol->includeAllNetworks = policy.includeAllNetworks.value_or(!perAppMode);
  protocol->excludeLocalNetworks = policy.excludeLocalNetworks.value_or(false);
  protocol->enforceRoutes = policy.enforceRoutes;
  protocol->providerConfiguration = ProviderConfiguration{
      {"private_key", payload.privateKey},
      {"address", payload.address},
      {"dns", payload.dns},
      {"peer_public_key", payload.peerPublicKey},
      {"peer_endpoint", payload.peerEndpoint},
      {"allowed_ips", payload.allowedIps},
      {"mtu", payload.mtu.value_or(kDefaultMTU)},
      {"keepalive_seconds", payload.keepaliveSeconds.value_or(kDefaultKeepaliveSeconds)},
  };
  return protocol;
}

void configure(NETunnelProviderManager& manager, const ConnectPayload& payload, bool perAppMode,
               std::vector<NEAppRule> rules) {
  manager.localizedDescription = kProfileName;
  manager.protocolConfiguration = tunnelProtocol(payload, perAppMode);
  manager.enabled = true;
  manager.appRules = std::move(rules);
  // On-demand stays off until the tunnel was asked to start (tunnel::switchOnDemandOn); without
  // rules a profile keeps no trace of an earlier on-demand setting.
  manager.onDemandRules =
      payload.onDemandRules.empty() ? std::nullopt : std::optional(payload.onDemandRules);
  manager.onDemandEnabled = false;
}

}  // namespace kelo::tunnel
