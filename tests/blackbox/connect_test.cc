// "connect" through the binary, checked in the saved preferences file: every setting with its
// type, and what a failure at each step leaves behind. Per-app runs with fake applications live
// in the fake-system tests; the order of requests is checked in process.
#include <gtest/gtest.h>

#include "blackbox/tool_runner.h"
#include "support/test_support.h"

namespace kelo::testing {
namespace {

Json connectRequest() {
  return {{"privateKey", "cHJpdmF0ZQ=="},
          {"address", "10.8.0.2/32, fd00::2/128"},
          {"dns", "1.1.1.1"},
          {"peerPublicKey", "cGVlcg=="},
          {"peerEndpoint", "203.0.113.5:51820"},
          {"allowedIps", "0.0.0.0/0, ::/0"},
          {"excludedApps", Json::array()}};
}

const std::string kConnecting =
    R"({"configured":true,"connected":false,"connecting":true,"disconnecting":false,)"
    R"("status":"connecting","perAppMode":false,"appRuleCount":0})";

class Connect : public ::testing::Test {
 protected:
  ToolRun connect(const Json& request = connectRequest()) {
    return runTool({.arguments = {"connect"}, .input = request.dump(), .home = home_.path()});
  }
  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
  }
  Json stored() const { return readPreferences(home_.path()); }
  Json onlyProfile() const {
    const Json document = stored();
    EXPECT_EQ(document["profiles"].size(), 1u);
    return document["profiles"][0];
  }
  TemporaryDirectory home_;
};

TEST_F(Connect, AFreshFullTunnelStoresEverySettingWithItsType) {
  const auto result = connect();
  EXPECT_EQ(result.standardOutput, kConnecting);
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.exitStatus, 0);

  Json profile = onlyProfile();
  EXPECT_TRUE(profile["identifier"].is_string());
  EXPECT_TRUE(profile["connection"]["since"].is_number());
  profile.erase("identifier");
  profile["connection"].erase("since");
  EXPECT_EQ(
      profile.dump(),
      R"({"localizedDescription":"Kelo VPN","enabled":true,"perAppVPN":false,)"
      R"("protocol":{"type":"tunnelProvider","providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel",)"
      R"("serverAddress":"203.0.113.5","disconnectOnSleep":false,"includeAllNetworks":true,)"
      R"("excludeLocalNetworks":false,"providerConfiguration":{"private_key":"cHJpdmF0ZQ==",)"
      R"("address":"10.8.0.2/32, fd00::2/128","dns":"1.1.1.1","peer_public_key":"cGVlcg==",)"
      R"("peer_endpoint":"203.0.113.5:51820","allowed_ips":"0.0.0.0/0, ::/0","mtu":1280,)"
      R"("keepalive_seconds":25}},"appRules":[],"connection":{"type":"tunnelProviderSession","status":2}})");
}

// The integers as given (defaults only for absent or null ones), the endpoint as received, and
// the server address taken from its host.
TEST_F(Connect, StoresTheRequestsValuesAsGiven) {
  struct Case {
    std::string endpoint;
    Json mtu, keepalive;  // as sent
    std::string server;
    std::int64_t storedMtu, storedKeepalive;
  };
  const std::vector<Case> cases = {
      {" 203.0.113.5:443\n", 0, -5, "203.0.113.5", 0, -5},
      {"[fd00::5]:443", nullptr, nullptr, "fd00::5", 1280, 25},
      {"[]:443", 1380, 15, "", 1380, 15},
      {"[fd00::5", 1, 2, "Kelo VPN", 1, 2},
  };
  for (const auto& each : cases) {
    Json request = connectRequest();
    request["peerEndpoint"] = each.endpoint;
    request["mtu"] = each.mtu;
    request["keepaliveSeconds"] = each.keepalive;
    ASSERT_EQ(connect(request).exitStatus, 0);
    const Json configuration = onlyProfile()["protocol"]["providerConfiguration"];
    EXPECT_EQ(onlyProfile()["protocol"]["serverAddress"], each.server) << each.endpoint;
    EXPECT_EQ(configuration["peer_endpoint"], each.endpoint);
    EXPECT_EQ(configuration["mtu"], each.storedMtu);
    EXPECT_EQ(configuration["keepalive_seconds"], each.storedKeepalive);
  }
}

// The first full-tunnel profile is kept with a protocol made anew: nothing of the old one that
// the tool does not write is carried over. Other tool profiles go; profiles that are not the
// tool's stay as they were.
TEST_F(Connect, ReusesTheFirstFullTunnelProfileWithANewProtocol) {
  Json first = toolProfile("FIRST", 1);
  first["protocol"]["disconnectOnSleep"] = true;
  first["protocol"]["onDemandRules"] = Json::array();
  Json ikev2 = toolProfile("IKE", 3);
  ikev2["protocol"] = {{"type", "ikev2"}};
  seed({ikev2, first, toolProfile("SECOND", 1),
        toolProfile("PERAPP", 1, Json::array({appRule("a")}))});
  EXPECT_EQ(connect().standardOutput, kConnecting);

  const Json document = stored();
  EXPECT_EQ(profileIdentifiers(document), (std::vector<std::string>{"IKE", "FIRST"}));
  EXPECT_EQ(document["profiles"][0], ikev2);
  const Json reused = document["profiles"][1];
  EXPECT_FALSE(reused["protocol"].contains("onDemandRules"));
  EXPECT_EQ(reused["protocol"]["disconnectOnSleep"], false);
  EXPECT_EQ(reused["protocol"]["providerConfiguration"]["private_key"], "cHJpdmF0ZQ==");
  EXPECT_EQ(reused["appRules"], Json::array());
}

// What each failing step leaves in the preferences: removals made before a failure stay made,
// a failure before the save saves nothing, a failure after it keeps the saved profile.
TEST_F(Connect, AFailureLeavesWhatTheStepsBeforeItDid) {
  const auto perApp = [](const std::string& identifier) {
    return toolProfile(identifier, 1, Json::array({appRule(identifier)}));
  };
  seed({perApp("A"), perApp("B"), perApp("C")}, {{"remove", {{"B", "in use"}}}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Failed to remove stale tunnel preferences: in use"})");
  EXPECT_EQ(profileIdentifiers(stored()), (std::vector<std::string>{"B", "C"}));

  seed({toolProfile("FULL", 3)});
  Json request = connectRequest();
  request["excludedApps"] = {"/Applications/Editor.app", "/nowhere/Missing.app/"};
  EXPECT_EQ(connect(request).standardError,
            R"({"error":"No executable found in \/Applications\/Editor.app."})");
  EXPECT_TRUE(stored()["profiles"].empty());

  seed({}, {{"save", "Permission denied."}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Failed to save packet tunnel preferences: Permission denied."})");
  EXPECT_TRUE(stored()["profiles"].empty());

  seed({}, {{"reload", ""}});
  EXPECT_EQ(connect().standardError, R"({"error":"Failed to reload packet tunnel preferences: "})");
  EXPECT_EQ(onlyProfile()["connection"]["status"], 1);

  seed({toolProfile("ONE", 5)}, {{"start", "The extension crashed."}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Failed to start packet tunnel: The extension crashed."})");
  EXPECT_EQ(onlyProfile()["connection"], (Json{{"type", "tunnelProviderSession"}, {"status", 5}}));
  EXPECT_EQ(onlyProfile()["protocol"]["serverAddress"], "203.0.113.5");
}

// A tunnel that is up is stopped, and started again once the restart delay of a second shows it
// down.
TEST_F(Connect, RestartsATunnelThatIsUpAfterASecond) {
  seed({toolProfile("ONE", 3)});
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(connect().standardOutput, kConnecting);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
  EXPECT_EQ(onlyProfile()["identifier"], "ONE");
  EXPECT_EQ(onlyProfile()["connection"]["status"], 2);
}

}  // namespace
}  // namespace kelo::testing
