// "connect" through the binary, full-tunnel and the failure paths of both modes, checked in
// the saved preferences file. Per-app runs with fake applications live in the fake-system tests.
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
  EXPECT_EQ(profile["connection"]["status"], 2);
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

TEST_F(Connect, StoresIntegersAsGivenAndDefaultsOnlyForAbsentOnes) {
  Json request = connectRequest();
  request["mtu"] = 0;
  request["keepaliveSeconds"] = -5;
  connect(request);
  Json configuration = onlyProfile()["protocol"]["providerConfiguration"];
  EXPECT_EQ(configuration["mtu"], 0);
  EXPECT_EQ(configuration["keepalive_seconds"], -5);

  request["mtu"] = nullptr;
  request.erase("keepaliveSeconds");
  request["keepalive_seconds"] = 7;
  connect(request);
  configuration = onlyProfile()["protocol"]["providerConfiguration"];
  EXPECT_TRUE(configuration["mtu"].is_number_integer());
  EXPECT_EQ(configuration["mtu"], 1280);
  EXPECT_EQ(configuration["keepalive_seconds"], 25);
}

TEST_F(Connect, TakesTheServerAddressFromTheEndpointHost) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" 203.0.113.5:443\n", "203.0.113.5"},
      {"[fd00::5]:443", "fd00::5"},
      {"[]:443", ""},
      {"[fd00::5", "Kelo VPN"}};
  for (const auto& [endpoint, server] : cases) {
    Json request = connectRequest();
    request["peerEndpoint"] = endpoint;
    ASSERT_EQ(connect(request).exitStatus, 0);
    const Json profile = onlyProfile();
    EXPECT_EQ(profile["protocol"]["serverAddress"], server) << endpoint;
    EXPECT_EQ(profile["protocol"]["providerConfiguration"]["peer_endpoint"], endpoint);
  }
}

TEST_F(Connect, ReusesTheFirstFullTunnelProfileAndRemovesTheOthers) {
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
  const Json reused = document["profiles"][1];
  EXPECT_EQ(reused["protocol"].contains("onDemandRules"), false);
  EXPECT_EQ(reused["protocol"]["disconnectOnSleep"], false);
  EXPECT_EQ(reused["protocol"]["providerConfiguration"]["private_key"], "cHJpdmF0ZQ==");
  EXPECT_EQ(reused["appRules"], Json::array());
}

TEST_F(Connect, AFullTunnelRequestReplacesAPerAppProfile) {
  seed({toolProfile("PERAPP", 1, Json::array({appRule("a")}))});
  connect();
  const Json profile = onlyProfile();
  EXPECT_NE(profile["identifier"], "PERAPP");
  EXPECT_EQ(profile["perAppVPN"], false);
}

TEST_F(Connect, StopsAtAFailedRemovalAndSavesNothing) {
  seed({toolProfile("A", 1, Json::array({appRule("a")})),
        toolProfile("B", 1, Json::array({appRule("b")})),
        toolProfile("C", 1, Json::array({appRule("c")}))},
       {{"remove", {{"B", "The configuration is in use."}}}});
  const auto result = connect();
  EXPECT_EQ(
      result.standardError,
      R"({"error":"Failed to remove stale tunnel preferences: The configuration is in use."})");
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(profileIdentifiers(stored()), (std::vector<std::string>{"B", "C"}));
}

TEST_F(Connect, ARuleBuildingFailureSavesNothingAfterTheStaleProfilesAreGone) {
  seed({toolProfile("FULL", 3)});
  Json request = connectRequest();
  request["excludedApps"] = {""};
  const auto result = connect(request);
  EXPECT_EQ(result.standardError, R"({"error":"Application path cannot be empty."})");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(stored()["profiles"].empty());

  request["excludedApps"] = {"/Applications/Editor.app", "/nowhere/Missing.app/"};
  EXPECT_EQ(connect(request).standardError,
            R"({"error":"No executable found in \/Applications\/Editor.app."})");
}

TEST_F(Connect, ReportsSaveReloadAndStartFaultsWithTheirPrefixes) {
  seed({}, {{"save", "Permission denied."}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Failed to save packet tunnel preferences: Permission denied."})");
  EXPECT_TRUE(stored()["profiles"].empty());

  seed({}, {{"reload", ""}});
  EXPECT_EQ(connect().standardError, R"({"error":"Failed to reload packet tunnel preferences: "})");
  EXPECT_EQ(onlyProfile()["connection"]["status"], 1);

  // Reasserting or disconnecting: started at once, with no stop first.
  for (const int status : {4, 5}) {
    seed({toolProfile("ONE", status)}, {{"start", "The extension crashed."}});
    EXPECT_EQ(connect().standardError,
              R"({"error":"Failed to start packet tunnel: The extension crashed."})");
    const Json profile = onlyProfile();
    EXPECT_EQ(profile["connection"], (Json{{"type", "tunnelProviderSession"}, {"status", status}}));
    EXPECT_EQ(profile["protocol"]["serverAddress"], "203.0.113.5");
  }
}

TEST_F(Connect, RestartsATunnelThatIsUp) {
  seed({toolProfile("ONE", 3)});
  const auto result = connect();
  EXPECT_EQ(result.standardOutput, kConnecting);
  const Json profile = onlyProfile();
  EXPECT_EQ(profile["identifier"], "ONE");
  EXPECT_EQ(profile["connection"]["status"], 2);

  seed({toolProfile("ONE", 3)}, {{"stopIgnored", true}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Timed out waiting for Network Extension manager response."})");
}

}  // namespace
}  // namespace kelo::testing
