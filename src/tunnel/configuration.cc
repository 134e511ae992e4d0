// Filling a profile from a connect request: a new tunnel-provider protocol with the server
// address, flags and the provider configuration the packet-tunnel extension reads, and the
// profile's rules. Runs inside the connect chain, on the thread of its last completion.
#include "kelo_desktop_ne_manager.h"

namespace kelo {

std::optional<std::string> KeloDesktopNEManager::endpointHost(std::string_view from) {
  const std::string_view endpoint = trimmedWhitespace(from);
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

Result<void> KeloDesktopNEManager::configure(NETunnelProviderManager& manager,
                                             const ConnectPayload& payload, bool perAppMode,
                                             const AppRuleSources& sources) {
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier = kProviderBundleIdentifier;
  protocol->serverAddress = endpointHost(payload.peerEndpoint).value_or(kServerAddressFallback);
  protocol->disconnectOnSleep = false;
  protocol->includeAllNetworks = !perAppMode;
  protocol->excludeLocalNetworks = false;
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

  manager.localizedDescription = kProfileDescription;
  manager.protocolConfiguration = std::move(protocol);
  manager.enabled = true;

  std::vector<NEAppRule> rules;  // a full tunnel writes its empty list explicitly
  if (perAppMode) {
    auto built = buildIncludedAppRules(payload.excludedApps, sources);
    if (!built) {
      return std::unexpected(built.error());
    }
    rules = std::move(*built);
  }
  manager.appRules = std::move(rules);
  return {};
}

}  // namespace kelo
