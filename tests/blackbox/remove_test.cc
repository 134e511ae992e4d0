// "remove" through the binary: the tool's profiles taken off the machine with on-demand switched
// off first, so that the system cannot bring a tunnel back while it runs or after it fails;
// other providers' profiles untouched.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

class Remove : public ToolTest {
 protected:
  // A connected per-app profile that on-demand keeps up on the machine's Ethernet.
  static Json keptUp(const std::string& identifier) {
    Json profile = toolProfile(identifier, 3, Json::array({appRule("com.example.mail")}));
    profile["onDemandEnabled"] = true;
    profile["onDemandRules"] = Json::parse(R"([{"action":"connect","interfaceType":"ethernet"}])");
    return profile;
  }
  static Json otherProvider() {
    Json profile = toolProfile("OTHER", 3);
    profile["protocol"]["providerBundleIdentifier"] = "com.example.other";
    return profile;
  }
  void seedOnEthernet(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    seedPreferences(
        home_.path(),
        {{"profiles", profiles}, {"faults", faults}, {"network", {{"interfaceType", "ethernet"}}}});
  }
  std::vector<std::string> identifiers() const {
    std::vector<std::string> left;
    const Json document = stored();
    for (const auto& profile : document["profiles"]) {
      left.push_back(profile["identifier"]);
    }
    return left;
  }
};

TEST_F(Remove, TakesTheToolsProfilesOffAndNothingElse) {
  // None: a success at once, as often as it is asked.
  expectSuccess(run({"remove"}), kNotConfigured);
  expectSuccess(run({"remove"}, "ignored"), kNotConfigured);

  seedOnEthernet({keptUp("ONE"), otherProvider(), toolProfile("TWO", 1)});
  expectSuccess(run({"remove"}), kNotConfigured);
  EXPECT_EQ(identifiers(), std::vector<std::string>{"OTHER"});
  expectSuccess(run({"status"}), kNotConfigured);
  expectSuccess(run({"remove", "--protocol=2"}), kNotConfigured2);
}

// A removal that fails keeps what was removed before it and answers the failure; the profile
// left has on-demand off and its tunnel stopped, so the system does not bring it back.
TEST_F(Remove, AFailedRemovalLeavesNoTunnelToComeBack) {
  const Json denied = {{"description", "denied"}, {"domain", "NEVPNErrorDomain"}, {"code", 5}};
  seedOnEthernet({toolProfile("ONE", 1), keptUp("TWO"), otherProvider()},
                 {{"remove", {{"TWO", denied}}}});
  const auto failed = run({"remove", "--protocol=2"});
  EXPECT_EQ(failed.standardError,
            R"({"error":"Failed to remove packet tunnel preferences: denied","code":"platform",)"
            R"("step":"remove","platformError":{"domain":"NEVPNErrorDomain","code":5}})");
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_EQ(identifiers(), (std::vector<std::string>{"TWO", "OTHER"}));
  const Json left = profileWithIdentifier(stored(), "TWO");
  EXPECT_EQ(left["onDemandEnabled"], false);
  EXPECT_EQ(left["onDemandRules"], keptUp("TWO")["onDemandRules"]);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  EXPECT_EQ(Json::parse(run({"status"}).standardOutput)["status"], "disconnected");
  EXPECT_EQ(profileWithIdentifier(stored(), "OTHER")["connection"]["status"], 3);
}

// A tunnel that ignores the stop is removed all the same after five seconds; a stop signal while
// the tunnels go down ends the run there, with on-demand already off.
TEST_F(Remove, ATunnelThatStaysUpIsRemovedAndAStopEndsTheWait) {
  seedOnEthernet({keptUp("ONE")}, {{"stopIgnored", true}});
  const auto began = std::chrono::steady_clock::now();
  expectSuccess(run({"remove"}), kNotConfigured);
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_TRUE(identifiers().empty());

  seedOnEthernet({keptUp("ONE")}, {{"stopIgnored", true}});
  const auto stopped = runTool({.arguments = {"remove", "--protocol=2"},
                                .home = home_.path(),
                                .signalAfter = std::pair{SIGTERM, std::chrono::milliseconds(700)}});
  EXPECT_EQ(stopped.standardError,
            R"({"error":"Stopped by SIGTERM before the request was complete.","code":"stopped",)"
            R"("step":"stop","signal":"SIGTERM"})");
  EXPECT_EQ(identifiers(), std::vector<std::string>{"ONE"});
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], false);
}

}  // namespace
}  // namespace kelo::testing
