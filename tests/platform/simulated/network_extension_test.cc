// The simulated NetworkExtension through its interface: what a save keeps of the file, how a
// status settles, and stops that change nothing.
#include "platform/network_extension.h"

#include <gtest/gtest.h>

#include "support/test_support.h"
#include "tunnel/bounded_wait.h"

namespace kelo {
namespace {

using testing::Json;
using testing::toolProfile;

using SimulatedNetworkExtension = testing::SimulatedHome;
using Pointer = NETunnelProviderManager::Pointer;

// A platform request, waited for as the tool waits for it.
template <class Value>
Value platformCall(const tunnel::Request<Value>& request) {
  return tunnel::awaitResult<Value>(runloop::Clock::now() + std::chrono::seconds(10), request)
      .value();
}

std::vector<Pointer> loadAll() {
  return platformCall<std::expected<std::vector<Pointer>, PlatformError>>(
             &NETunnelProviderManager::loadAllFromPreferences)
      .value();
}

TEST_F(SimulatedNetworkExtension, SaveKeepsTheConnectionAndOtherMembersOfTheFile) {
  testing::seedPreferences(home_.path(),
                           {{"version", 7},
                            {"profiles", {toolProfile("OTHER", 4), toolProfile("ONE", 0)}},
                            {"faults", {{"start", "kept"}}}});
  const Pointer manager = loadAll().back();
  manager->appRules = std::vector<NEAppRule>{};
  ASSERT_TRUE((platformCall<std::expected<void, PlatformError>>(
      [manager](auto handler) { manager->saveToPreferences(handler); })));
  EXPECT_EQ(manager->connection().status(), NEVPNStatusDisconnected);
  const Json document = stored();
  EXPECT_EQ(document["version"], 7);
  EXPECT_EQ(document["faults"], (Json{{"start", "kept"}}));
  EXPECT_EQ(document["profiles"][0], toolProfile("OTHER", 4));
  EXPECT_EQ(document["profiles"][1]["connection"],
            (Json{{"type", "tunnelProviderSession"}, {"status", 1}}));
  EXPECT_EQ(document["profiles"][1]["appRules"], Json::array());
}

TEST_F(SimulatedNetworkExtension, StatusSettlesAfterHalfASecondWithoutWriting) {
  Json connecting = toolProfile("ONE", 2);
  connecting["connection"]["since"] = 1000.0;  // long ago
  Json disconnecting = toolProfile("TWO", 5);
  disconnecting["connection"]["since"] = 1000.0;
  Json pinned = toolProfile("THREE", 2);  // without "since" it never settles
  seed({connecting, disconnecting, pinned});
  const auto managers = loadAll();
  EXPECT_EQ(managers[0]->connection().status(), NEVPNStatusConnected);
  EXPECT_EQ(managers[1]->connection().status(), NEVPNStatusDisconnected);
  EXPECT_EQ(managers[2]->connection().status(), NEVPNStatusConnecting);
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 2);  // reading never writes
}

TEST_F(SimulatedNetworkExtension, StopChangesNothingWhenIgnoredOrWhenTheTunnelIsIdle) {
  seed({toolProfile("ONE", 3)}, {{"stopIgnored", true}});
  Pointer manager = loadAll().front();
  manager->connection().stopVPNTunnel();
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnected);
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 3);

  seed({toolProfile("ONE", 1)});
  manager = loadAll().front();
  manager->connection().stopVPNTunnel();
  EXPECT_EQ(manager->connection().status(), NEVPNStatusDisconnected);
  EXPECT_FALSE(stored()["profiles"][0]["connection"].contains("since"));
}

}  // namespace
}  // namespace kelo
