// The mapping between the framework's profile objects and the tool's (macOS only), on objects
// built in memory: nothing is saved, so no entitlement is needed. What the tool reads of a
// profile, what a change carries back, and what a change of one field leaves alone.
#include "platform/apple/profile_mapping.h"

#include <gtest/gtest.h>

#include "platform/apple/value_conversion.h"

namespace kelo::apple {
namespace {

using Action = NEOnDemandRuleAction;
using Interface = NEOnDemandRuleInterfaceType;

// A per-app profile as another application may have left it: a configuration entry and an
// on-demand rule of kinds the tool has no form for beside the ones it reads.
::NETunnelProviderManager* storedProfile() {
  ::NETunnelProviderManager* object = [::NETunnelProviderManager forPerAppVPN];
  ::NETunnelProviderProtocol* protocol = [[::NETunnelProviderProtocol alloc] init];
  protocol.providerBundleIdentifier = @"com.kelo.vpn.desktop.PacketTunnel";
  protocol.serverAddress = @"203.0.113.5";
  protocol.includeAllNetworks = YES;
  protocol.providerConfiguration = @{@"mtu" : @1280, @"blob" : [NSData data]};
  object.protocolConfiguration = protocol;
  object.localizedDescription = @"Kelo VPN";
  object.enabled = YES;
  object.appRules = @[ [[::NEAppRule alloc] initWithSigningIdentifier:@"com.example.mail"
                                                designatedRequirement:@"anchor apple"] ];
  ::NEOnDemandRule* cafe = [[NEOnDemandRuleConnect alloc] init];
  cafe.interfaceTypeMatch = NEOnDemandRuleInterfaceTypeWiFi;
  cafe.SSIDMatch = @[ @"Cafe" ];
  ::NEOnDemandRule* wired = [[NEOnDemandRuleDisconnect alloc] init];
  wired.interfaceTypeMatch = NEOnDemandRuleInterfaceTypeEthernet;
  object.onDemandRules = @[ cafe, [[NEOnDemandRuleEvaluateConnection alloc] init], wired ];
  object.onDemandEnabled = YES;
  return object;
}

TEST(ProfileMapping, EveryFieldTheToolKnowsIsRead) {
  const auto manager = toolManager(storedProfile());
  EXPECT_TRUE(manager->isPerAppVPN());
  EXPECT_EQ(manager->localizedDescription, "Kelo VPN");
  EXPECT_TRUE(manager->enabled);
  const auto* protocol =
      dynamic_cast<NETunnelProviderProtocol*>(manager->protocolConfiguration.get());
  ASSERT_NE(protocol, nullptr);
  EXPECT_EQ(protocol->providerBundleIdentifier, "com.kelo.vpn.desktop.PacketTunnel");
  EXPECT_EQ(protocol->serverAddress, "203.0.113.5");
  EXPECT_TRUE(protocol->includeAllNetworks);
  EXPECT_EQ(protocol->providerConfiguration, ProviderConfiguration({{"mtu", 1280}}));
  ASSERT_TRUE(manager->appRules.has_value());
  EXPECT_EQ(manager->appRules->size(), 1u);
  const std::vector<NEOnDemandRule> rules = {
      {Action::connect, Interface::wiFi, std::vector<std::string>{"Cafe"}},
      {Action::disconnect, Interface::ethernet, std::nullopt}};
  EXPECT_EQ(manager->onDemandRules, rules);
  EXPECT_TRUE(manager->onDemandEnabled);
}

TEST(ProfileMapping, AChangeOfOneFieldLeavesEveryOtherAsTheFrameworkHadIt) {
  ::NETunnelProviderManager* object = storedProfile();
  ::NEVPNProtocol* protocol = object.protocolConfiguration;
  NSArray<::NEOnDemandRule*>* onDemandRules = object.onDemandRules;
  const auto manager = toolManager(object);

  // What "update-app-rules" changes.
  manager->appRules = std::vector<NEAppRule>{{"com.example.editor", "anchor apple generic"}};
  ASSERT_TRUE(carryOnto(object, *manager).has_value());
  EXPECT_EQ(toolRules([object copyAppRules]), manager->appRules);
  EXPECT_EQ(object.protocolConfiguration, protocol);
  EXPECT_EQ(object.onDemandRules, onDemandRules);  // the evaluate-connection rule included
  EXPECT_TRUE(object.onDemandEnabled);

  // What "disconnect" changes.
  manager->onDemandEnabled = false;
  ASSERT_TRUE(carryOnto(object, *manager).has_value());
  EXPECT_FALSE(object.onDemandEnabled);
  EXPECT_EQ(object.onDemandRules, onDemandRules);

  // What "connect" changes: the configuration entry the tool could not read stays.
  auto* provider = dynamic_cast<NETunnelProviderProtocol*>(manager->protocolConfiguration.get());
  provider->providerConfiguration = ProviderConfiguration({{"mtu", 1420}});
  manager->onDemandRules = std::vector<NEOnDemandRule>{{Action::ignore, Interface::any, {}}};
  ASSERT_TRUE(carryOnto(object, *manager).has_value());
  auto* carried = (::NETunnelProviderProtocol*)object.protocolConfiguration;
  EXPECT_NE(carried, protocol);
  EXPECT_EQ([[carried.providerConfiguration objectForKey:@"mtu"] longLongValue], 1420);
  EXPECT_NE([carried.providerConfiguration objectForKey:@"blob"], nil);
  EXPECT_EQ(toolOnDemandRules(object.onDemandRules), manager->onDemandRules);
  EXPECT_TRUE([[object.onDemandRules objectAtIndex:0] isKindOfClass:[NEOnDemandRuleIgnore class]]);

  // A connect without rules leaves none.
  manager->onDemandRules.reset();
  ASSERT_TRUE(carryOnto(object, *manager).has_value());
  EXPECT_EQ(object.onDemandRules, nil);
}

TEST(ProfileMapping, AValueWithoutAFrameworkFormChangesNothing) {
  ::NETunnelProviderManager* object = storedProfile();
  const auto manager = toolManager(object);
  manager->onDemandEnabled = false;
  manager->onDemandRules = std::vector<NEOnDemandRule>{
      {Action::connect, Interface::wiFi, std::vector<std::string>{"\xff"}}};
  EXPECT_FALSE(carryOnto(object, *manager).has_value());
  EXPECT_TRUE(object.onDemandEnabled);
  EXPECT_EQ(object.onDemandRules.count, 3u);
}

}  // namespace
}  // namespace kelo::apple
