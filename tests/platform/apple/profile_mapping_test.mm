// The mapping between the framework's profile objects and the tool's (macOS only), on objects
// built in memory: nothing is saved, so no entitlement is needed. What the tool reads of a
// profile and of its connection, what a change carries back, what a change of one field leaves
// alone, and how a connection's notifications reach the tool.
#include "platform/apple/profile_mapping.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/apple/value_conversion.h"
#include "platform/run_loop.h"

// A connection as the system would report one, built in memory.
@interface KeloReportedConnection : NEVPNConnection
@property(nonatomic) NEVPNStatus reportedStatus;
@property(nonatomic, nullable) NSDate* reportedDate;
@property(nonatomic, nullable) NSError* reportedError;
@end

@implementation KeloReportedConnection
- (NEVPNStatus)status {
  return self.reportedStatus;
}
- (nullable NSDate*)connectedDate {
  return self.reportedDate;
}
- (void)fetchLastDisconnectErrorWithCompletionHandler:(void (^)(NSError* _Nullable))handler {
  handler(self.reportedError);
}
@end

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

  // A changed provider configuration and on-demand rules: the mapping keeps an entry of the
  // configuration that the tool could not read. ("connect" itself never leaves one: it writes a
  // protocol made anew from the request.)
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

// Turns the main run loop until `done` holds, for at most a second.
void turnUntil(const std::function<bool()>& done) {
  const auto limit = runloop::Clock::now() + std::chrono::seconds(1);
  while (!done() && runloop::Clock::now() < limit) {
    runloop::runOnce(runloop::Clock::now() + std::chrono::milliseconds(50));
  }
}

// Protocol 2's connected date and last disconnect error, with the error's domain and code; none
// before macOS 13, which keeps no such error.
TEST(ProfileMapping, AConnectionsDateAndLastErrorComeThrough) {
  KeloReportedConnection* object = [[KeloReportedConnection alloc] init];
  object.reportedStatus = ::NEVPNStatusConnected;
  object.reportedDate = [NSDate dateWithTimeIntervalSince1970:1764950400.25];
  object.reportedError = [NSError errorWithDomain:@"NEVPNConnectionErrorDomain"
                                             code:7
                                         userInfo:@{NSLocalizedDescriptionKey : @"No answer."}];
  const auto connection = toolConnection(object);
  EXPECT_EQ(connection->status(), NEVPNStatusConnected);
  EXPECT_EQ(connection->connectedDate(), 1764950400.25);
  std::optional<std::optional<PlatformError>> fetched;
  connection->fetchLastDisconnectError(
      [&fetched](std::optional<PlatformError> error) { fetched = std::move(error); });
  EXPECT_FALSE(fetched.has_value());  // delivered on the main run loop, never inside the call
  turnUntil([&fetched] { return fetched.has_value(); });
  ASSERT_TRUE(fetched.has_value());
  if (@available(macOS 13.0, *)) {
    ASSERT_TRUE(fetched->has_value());
    EXPECT_EQ((*fetched)->localizedDescription, "No answer.");
    EXPECT_EQ((*fetched)->cause, (PlatformCause{"NEVPNConnectionErrorDomain", 7}));
  } else {
    EXPECT_FALSE(fetched->has_value());
  }

  object.reportedDate = nil;
  object.reportedError = nil;
  EXPECT_EQ(connection->connectedDate(), std::nullopt);
  fetched.reset();
  connection->fetchLastDisconnectError(
      [&fetched](std::optional<PlatformError> error) { fetched = std::move(error); });
  turnUntil([&fetched] { return fetched.has_value(); });
  ASSERT_TRUE(fetched.has_value());
  EXPECT_FALSE(fetched->has_value());
}

// A status change of the connection reaches its observer on the main run loop, and nothing
// reaches it once it is gone; another connection's changes never do.
TEST(ProfileMapping, AConnectionsStatusChangesReachItsObserverOnly) {
  KeloReportedConnection* object = [[KeloReportedConnection alloc] init];
  KeloReportedConnection* other = [[KeloReportedConnection alloc] init];
  int told = 0;
  auto observer = toolConnection(object)->observeStatusDidChange([&told] { ++told; });
  [NSNotificationCenter.defaultCenter postNotificationName:NEVPNStatusDidChangeNotification
                                                    object:other];
  [NSNotificationCenter.defaultCenter postNotificationName:NEVPNStatusDidChangeNotification
                                                    object:object];
  turnUntil([&told] { return told > 0; });
  EXPECT_EQ(told, 1);
  observer.reset();
  [NSNotificationCenter.defaultCenter postNotificationName:NEVPNStatusDidChangeNotification
                                                    object:object];
  runloop::runOnce(runloop::Clock::now() + std::chrono::milliseconds(100));
  EXPECT_EQ(told, 1);

  int configurations = 0;
  auto configuration = observeConfigurationChange([&configurations] { ++configurations; });
  [NSNotificationCenter.defaultCenter postNotificationName:NEVPNConfigurationChangeNotification
                                                    object:nil];
  turnUntil([&configurations] { return configurations > 0; });
  EXPECT_EQ(configurations, 1);
}

}  // namespace
}  // namespace kelo::apple
