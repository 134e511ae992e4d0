// Profile configuration in memory: the endpoint's host, the provider configuration and the
// settings by mode. What reaches the preferences file is checked by the black-box tests.
#include <gtest/gtest.h>

#include "kelo_desktop_ne_manager.h"

namespace kelo {
namespace {

TEST(EndpointHost, TakesTheHostAndIgnoresThePort) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"203.0.113.5:443", "203.0.113.5"},
      {" 203.0.113.5:443\n", "203.0.113.5"},
      {"\u00a0vpn.example.com:51820\u2028", "vpn.example.com"},
      {"[fd00::5]:443", "fd00::5"},
      {"[fd00::5]", "fd00::5"},
      {"[fd00::5]junk]", "fd00::5"},
      {"fd00::5", "fd00:"},
      {"203.0.113.5", "203.0.113.5"},
      {"a:b:c", "a:b"},
      {"[]:443", ""},
      {":443", ""},
      {"", std::nullopt},
      {" \t\r\n", std::nullopt},
      {"[fd00::5", std::nullopt},
  };
  for (const auto& [endpoint, host] : cases) {
    EXPECT_EQ(KeloDesktopNEManager::endpointHost(endpoint), host) << endpoint;
  }
}

class NoConnection : public NEVPNConnection {
 public:
  NEVPNStatus status() const override { return NEVPNStatusDisconnected; }
  void stopVPNTunnel() override {}
};

ConnectPayload request() {
  return {.privateKey = "priv",
          .address = "10.8.0.2/32",
          .dns = "1.1.1.1",
          .peerPublicKey = "pub",
          .peerEndpoint = " [::1]:51820 ",
          .allowedIps = "0.0.0.0/0",
          .mtu = std::nullopt,
          .keepaliveSeconds = 0,
          .excludedApps = {}};
}

TEST(Configure, ReplacesTheProtocolAndWritesAnExplicitEmptyRuleListForAFullTunnel) {
  NETunnelProviderManager manager("ID", false, std::make_shared<NoConnection>());
  auto old = std::make_shared<NETunnelProviderProtocol>();
  old->disconnectOnSleep = true;
  manager.protocolConfiguration = old;
  manager.appRules = std::vector<NEAppRule>{NEAppRule("a", "b")};

  ASSERT_TRUE(KeloDesktopNEManager::configure(manager, request(), false).has_value());
  const auto* protocol =
      dynamic_cast<NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  ASSERT_NE(protocol, nullptr);
  EXPECT_NE(protocol, old.get());
  EXPECT_EQ(protocol->providerBundleIdentifier, "com.kelo.vpn.desktop.PacketTunnel");
  EXPECT_EQ(protocol->serverAddress, "::1");
  EXPECT_FALSE(protocol->disconnectOnSleep);
  EXPECT_TRUE(protocol->includeAllNetworks);
  EXPECT_FALSE(protocol->excludeLocalNetworks);
  EXPECT_EQ(
      protocol->providerConfiguration->dump(),
      R"({"private_key":"priv","address":"10.8.0.2/32","dns":"1.1.1.1","peer_public_key":"pub",)"
      R"("peer_endpoint":" [::1]:51820 ","allowed_ips":"0.0.0.0/0","mtu":1280,"keepalive_seconds":0})");
  EXPECT_EQ(manager.localizedDescription, "Kelo VPN");
  EXPECT_TRUE(manager.enabled);
  EXPECT_EQ(manager.appRules, std::vector<NEAppRule>{});
}

TEST(Configure, APerAppFailureLeavesTheRulesAsTheyWere) {
  NETunnelProviderManager manager("ID", true, std::make_shared<NoConnection>());
  manager.appRules = std::vector<NEAppRule>{NEAppRule("a", "b")};
  ConnectPayload payload = request();
  payload.excludedApps = {" "};
  payload.peerEndpoint = "[fd00::5";
  const auto configured = KeloDesktopNEManager::configure(manager, payload, true);
  EXPECT_EQ(configured.error(),
            Error{ManagerError::invalidInput("Application path cannot be empty.")});
  EXPECT_EQ(manager.appRules->size(), 1u);
  const auto* protocol =
      dynamic_cast<NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  EXPECT_EQ(protocol->serverAddress, "Kelo VPN");
  EXPECT_FALSE(protocol->includeAllNetworks);
}

}  // namespace
}  // namespace kelo
