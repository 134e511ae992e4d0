// "connect" through the binary, checked in the saved preferences file: every setting with its
// type, and what a failure at each step leaves behind. Per-app runs with fake applications live
// in the fake-system tests; the order of requests is checked in process.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <thread>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

const std::string kConnecting =
    R"({"configured":true,"connected":false,"connecting":true,"disconnecting":false,)"
    R"("status":"connecting","perAppMode":false,"appRuleCount":0})";

class Connect : public ToolTest {
 protected:
  ToolRun connect(const Json& request = connectRequest()) const {
    return run({"connect"}, request.dump());
  }
  Json onlyProfile() const {
    const Json document = stored();
    EXPECT_EQ(document["profiles"].size(), 1u);
    return document["profiles"][0];
  }
};

// Every setting with its type, whether the profile is new or reused. A reused profile keeps its
// identity and gets a protocol made anew: nothing of the old one that the tool does not write
// is carried over. The other tool profiles go, a profile that is not the tool's stays, and a
// tunnel that is up is started again once a restart delay of a second shows it down.
TEST_F(Connect, StoresEverySettingWithItsTypeInANewOrAReusedProfile) {
  const std::string settings =
      R"({"localizedDescription":"Kelo VPN","enabled":true,"perAppVPN":false,)"
      R"("protocol":{"type":"tunnelProvider","providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel",)"
      R"("serverAddress":"2001:db8::1","disconnectOnSleep":false,"includeAllNetworks":true,)"
      R"("excludeLocalNetworks":false,"providerConfiguration":{"private_key":"cHJpdmF0ZQ==",)"
      R"("address":"10.8.0.2/32, fd00::2/128","dns":"1.1.1.1","peer_public_key":"cGVlcg==",)"
      R"("peer_endpoint":"[2001:db8::1]:51820","allowed_ips":"0.0.0.0/0, ::/0","mtu":1280,)"
      R"("keepalive_seconds":25}},"appRules":[],"connection":{"type":"tunnelProviderSession","status":2}})";
  const auto settingsOf = [](Json profile) {
    EXPECT_TRUE(profile["connection"]["since"].is_number());
    profile.erase("identifier");
    profile["connection"].erase("since");
    return profile.dump();
  };
  expectSuccess(connect(), kConnecting);
  EXPECT_EQ(settingsOf(onlyProfile()), settings);

  Json reused = toolProfile("FIRST", 3);
  reused["protocol"]["disconnectOnSleep"] = true;
  reused["protocol"]["onDemandRules"] = Json::array();
  Json ikev2 = toolProfile("IKE", 3);
  ikev2["protocol"] = {{"type", "ikev2"}};
  seed({ikev2, reused, toolProfile("SECOND", 1),
        toolProfile("PERAPP", 1, Json::array({appRule("a")}))});
  const auto began = std::chrono::steady_clock::now();
  expectSuccess(connect(), kConnecting);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
  const Json document = stored();
  ASSERT_EQ(document["profiles"].size(), 2u);
  EXPECT_EQ(document["profiles"][0], ikev2);
  EXPECT_EQ(document["profiles"][1]["identifier"], "FIRST");
  EXPECT_EQ(settingsOf(document["profiles"][1]), settings);
}

// The integers as given (defaults only for absent or null ones), the endpoint as received, and
// the server address taken from its host.
TEST_F(Connect, StoresTheRequestsValuesAsGiven) {
  // The server address, and the provider configuration's endpoint, MTU and keep-alive.
  const auto given = [this](const Json& request) {
    EXPECT_EQ(connect(request).exitStatus, 0);
    const Json protocol = onlyProfile()["protocol"];
    const Json& configuration = protocol["providerConfiguration"];
    return Json::array({protocol["serverAddress"], configuration["peer_endpoint"],
                        configuration["mtu"], configuration["keepalive_seconds"]});
  };
  Json request = connectRequest();
  request.update({{"peerEndpoint", " [fd00::5]:443\n"}, {"mtu", 0}, {"keepaliveSeconds", -5}});
  EXPECT_EQ(given(request), Json::array({"fd00::5", " [fd00::5]:443\n", 0, -5}));
  request.update({{"peerEndpoint", "[fd00::5"}, {"mtu", nullptr}});
  request.erase("keepaliveSeconds");
  EXPECT_EQ(given(request), Json::array({"Kelo VPN", "[fd00::5", 1280, 25}));
}

// What each failing step leaves in the preferences: removals made before a failure stay made,
// a failed save saves nothing, a failure after it keeps the saved profile.
TEST_F(Connect, AFailureLeavesWhatTheStepsBeforeItDid) {
  const auto perApp = [](const std::string& identifier) {
    return toolProfile(identifier, 1, Json::array({appRule(identifier)}));
  };
  seed({perApp("A"), perApp("B"), perApp("C")}, {{"remove", {{"B", "in use"}}}});
  EXPECT_EQ(connect().standardError,
            R"({"error":"Failed to remove stale tunnel preferences: in use"})");
  EXPECT_EQ(stored()["profiles"], Json::array({perApp("B"), perApp("C")}));

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
  EXPECT_EQ(onlyProfile()["protocol"]["serverAddress"], "2001:db8::1");
}

// On the network a rule names the system brings the tunnel up by itself: "connect" leaves
// on-demand on, and "disconnect" switches it off before the stop (keeping the rules), so that
// the tunnel stays down. A later "connect" without rules leaves none. A failed start, or a stop
// signal in the restart, switches on-demand back on, or says that it could not.
TEST_F(Connect, OnDemandIsOnAfterAConnectAndOffAfterADisconnect) {
  const Json rules = Json::parse(R"([{"action":"disconnect","interfaceType":"ethernet"},
      {"action":"connect","interfaceType":"wifi","ssids":["Home","Cafe"]}])");
  const Json cafe = {{"interfaceType", "wifi"}, {"ssid", "Cafe"}};
  const auto afterSettling = [this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return run({"status"}).standardOutput;
  };
  Json request = connectRequest();
  request["onDemandRules"] = rules;
  seedPreferences(home_.path(), {{"profiles", Json::array()}, {"network", cafe}});
  expectSuccess(connect(request), kConnecting);
  EXPECT_EQ(onlyProfile()["onDemandEnabled"], true);
  EXPECT_EQ(onlyProfile()["onDemandRules"], rules);
  // The answer is read once on-demand is on, and protocol 2 shows it.
  const Json answered =
      Json::parse(run({"connect", "--protocol=2"}, request.dump()).standardOutput)["onDemand"];
  EXPECT_EQ(answered, (Json{{"enabled", true}, {"rules", rules}}));

  expectSuccess(run({"disconnect"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":true,)"
                R"("status":"disconnecting","perAppMode":false,"appRuleCount":0})");
  EXPECT_EQ(onlyProfile()["onDemandEnabled"], false);
  EXPECT_EQ(onlyProfile()["onDemandRules"], rules);
  EXPECT_NE(afterSettling().find(R"("status":"disconnected")"), std::string::npos);

  // What the switch-off prevents: stopped with on-demand on, the tunnel comes back.
  Json profile = onlyProfile();
  profile["onDemandEnabled"] = true;
  seedPreferences(home_.path(), {{"profiles", Json::array({profile})}, {"network", cafe}});
  EXPECT_NE(afterSettling().find(R"("status":"connected")"), std::string::npos);

  expectSuccess(connect(), kConnecting);
  EXPECT_FALSE(onlyProfile().contains("onDemandEnabled"));
  EXPECT_FALSE(onlyProfile().contains("onDemandRules"));

  // A start that fails leaves on-demand on all the same, with no trace of its pause.
  seedPreferences(home_.path(), {{"profiles", Json::array({onlyProfile()})},
                                 {"faults", {{"start", "The extension crashed."}}}});
  expectFailure(connect(request), "Failed to start packet tunnel: The extension crashed.");
  EXPECT_EQ(onlyProfile()["onDemandEnabled"], true);
  EXPECT_FALSE(onlyProfile()["protocol"]["providerConfiguration"].contains("on_demand_paused"));

  // Stopped in the restart's pause, once the preferences refuse the save that would switch
  // on-demand back on: the answer tells what was left undone.
  Json running = toolProfile("ONE", 3);
  running["onDemandEnabled"] = true;
  running["onDemandRules"] = rules;
  seedPreferences(home_.path(), {{"profiles", Json::array({running})}, {"network", cafe}});
  std::thread refuseSaves([this] {
    for (int look = 0; look < 500; ++look) {
      Json document = stored();
      if (document["profiles"][0]["connection"]["status"] == 5) {  // the restart's stop
        document["faults"] = {{"save", "Full."}};
        writeFile(home_ / "staged.json", document.dump(2), 0600);
        std::filesystem::rename(home_ / "staged.json", preferencesPath(home_.path()));
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto stopped = runTool({.arguments = {"connect"},
                                .input = request.dump(),
                                .home = home_.path(),
                                .signalAfter = std::pair{SIGTERM, std::chrono::milliseconds(700)}});
  refuseSaves.join();
  EXPECT_EQ(stopped.standardError,
            R"({"error":"Stopped by SIGTERM before the request was complete. The on-demand )"
            R"(connection could not be switched back on: Failed to save packet tunnel )"
            R"(preferences: Full."})");
  EXPECT_EQ(onlyProfile()["onDemandEnabled"], false);
}

// The traffic settings each member of "networkPolicy" chooses, alone and together, stored and
// nothing else: "enforceRoutes" only when given. A per-app profile keeps its policy through
// update-app-rules and its restart, and protocol 2 reports it; a policy that cannot be met is
// refused before the stored profiles are touched.
TEST_F(Connect, StoresTheNetworkPolicyTheRequestChose) {
  const auto traffic = [this](const Json& policy) {
    Json request = connectRequest();
    request["networkPolicy"] = policy;
    seed({});  // a new profile each time: no restart to wait for
    EXPECT_EQ(connect(request).exitStatus, 0) << policy;
    Json protocol = onlyProfile()["protocol"];
    for (const char* other :
         {"type", "providerBundleIdentifier", "serverAddress", "providerConfiguration"}) {
      protocol.erase(other);
    }
    return protocol;
  };
  const auto expected = [](bool all, bool local, bool sleep, const Json& routes = nullptr) {
    Json settings = {
        {"disconnectOnSleep", sleep}, {"includeAllNetworks", all}, {"excludeLocalNetworks", local}};
    if (!routes.is_null()) {
      settings["enforceRoutes"] = routes;
    }
    return settings;
  };
  EXPECT_EQ(traffic(nullptr), expected(true, false, false));
  EXPECT_EQ(traffic(Json::object()), expected(true, false, false));
  EXPECT_EQ(traffic({{"includeAllNetworks", false}}), expected(false, false, false));
  EXPECT_EQ(traffic({{"excludeLocalNetworks", true}}), expected(true, true, false));
  EXPECT_EQ(traffic({{"enforceRoutes", false}}), expected(true, false, false, false));
  EXPECT_EQ(traffic({{"disconnectOnSleep", true}}), expected(true, false, true));
  EXPECT_EQ(traffic({{"includeAllNetworks", false},
                     {"excludeLocalNetworks", true},
                     {"enforceRoutes", true},
                     {"disconnectOnSleep", true}}),
            expected(false, true, true, true));

  // Per-app: no kill switch by default; update-app-rules and its restart keep what was chosen.
  installSignedApplications({"Mail", "Browser"});
  const std::string browser = home_ / "Applications/Browser.app";
  Json perApp = connectRequest(Json::array({browser}));
  perApp["networkPolicy"] = {{"excludeLocalNetworks", true}, {"enforceRoutes", true}};
  ASSERT_EQ(runSigning("connect", perApp).exitStatus, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // up: the update restarts it
  const auto updated = runSigning("update-app-rules", {{"excludedApps", Json::array({browser})}});
  ASSERT_EQ(updated.exitStatus, 0) << updated.standardError;
  EXPECT_EQ(Json::parse(updated.standardOutput)["networkPolicy"],
            Json::parse(R"({"includeAllNetworks":false,"excludeLocalNetworks":true,)"
                        R"("disconnectOnSleep":false,"enforceRoutes":true})"));
  EXPECT_EQ(onlyProfile()["protocol"]["enforceRoutes"], true);
  EXPECT_EQ(onlyProfile()["protocol"]["includeAllNetworks"], false);

  const std::string before = readFile(preferencesPath(home_.path()));
  for (const Json& policy : {Json{{"includeAllNetworks", true}}, Json{{"killSwitch", false}},
                             Json{{"enforceRoutes", 1}}}) {
    perApp["networkPolicy"] = policy;
    EXPECT_EQ(runSigning("connect", perApp).exitStatus, 1) << policy;
    EXPECT_EQ(readFile(preferencesPath(home_.path())), before) << policy;
  }
}

// Asked to remove the other profiles only after the save, a connect that switches between a
// full tunnel and per-app rules and then fails leaves the stored profiles byte for byte (by
// default the old one is gone); a removal that fails after the save leaves both, and the next
// connect removes the stale one.
TEST_F(Connect, RemovingStaleProfilesAfterTheSaveLosesNothingToAFailure) {
  Json full = toolProfile("FULL", 3);
  full["protocol"]["includeAllNetworks"] = true;
  full["onDemandEnabled"] = true;
  full["onDemandRules"] = Json::parse(R"([{"action":"connect","interfaceType":"any"}])");
  seed({full});
  const std::string path = preferencesPath(home_.path());
  const std::string withFullTunnel = readFile(path);
  Json perApp = connectRequest({""});
  perApp["staleProfiles"] = "removeAfterSave";
  expectFailure(connect(perApp), "Application path cannot be empty.");
  EXPECT_EQ(readFile(path), withFullTunnel);
  perApp.erase("staleProfiles");
  expectFailure(connect(perApp), "Application path cannot be empty.");
  EXPECT_EQ(stored()["profiles"], Json::array());

  // The other way, a full tunnel whose save is refused (as when the person declines the alert).
  const Json rules = Json::array({appRule("com.example.mail")});
  seed({toolProfile("PERAPP", 3, rules)}, {{"save", "declined"}});
  const std::string withPerApp = readFile(path);
  Json fullTunnel = connectRequest();
  fullTunnel["staleProfiles"] = "removeAfterSave";
  expectFailure(connect(fullTunnel), "Failed to save packet tunnel preferences: declined");
  EXPECT_EQ(readFile(path), withPerApp);

  seed({toolProfile("PERAPP", 1, rules)}, {{"remove", {{"PERAPP", "in use"}}}});
  expectFailure(connect(fullTunnel), "Failed to remove stale tunnel preferences: in use");
  ASSERT_EQ(stored()["profiles"].size(), 2u);
  EXPECT_EQ(stored()["profiles"][0]["identifier"], "PERAPP");
  Json unfaulted = stored();
  unfaulted.erase("faults");
  seedPreferences(home_.path(), unfaulted);
  expectSuccess(connect(fullTunnel), kConnecting);
  EXPECT_EQ(onlyProfile()["perAppVPN"], false);
}

}  // namespace
}  // namespace kelo::testing
