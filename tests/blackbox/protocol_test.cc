// Protocol 2 as an application reads it: the status document's added members, the failure
// document's code, step, platform error and signal, "version", and protocol 1's documents
// unchanged beside them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

const std::string kFullTunnel = connectRequest().dump();

class Protocol2 : public ToolTest {
 protected:
  ToolRun second(const std::string& command, std::optional<std::string> input = std::nullopt,
                 std::vector<std::string> prefix = {}) const {
    return run({command, "--protocol=2"}, std::move(input), std::move(prefix));
  }
  // The protocol 2 members of the status document after its first seven.
  Json added(const ToolRun& result) const {
    Json document = Json::parse(result.standardOutput);
    for (const char* first : {"configured", "connected", "connecting", "disconnecting", "status",
                              "perAppMode", "appRuleCount"}) {
      document.erase(first);
    }
    return document;
  }
};

// A connected per-app profile with on-demand rules, whose last connection ended with an error:
// every member as stored, in the request's own form; protocol 1 sees its seven members only.
TEST_F(Protocol2, StatusCarriesWhatAnApplicationShows) {
  expectSuccess(second("status"), kNotConfigured2);

  Json profile = toolProfile("ONE", 3,
                             Json::array({appRule("com.example.mail"),
                                          {{"signingIdentifier", "com.example.any"},
                                           {"designatedRequirement", "x"},
                                           {"matchPath", nullptr}}}));
  profile["connection"]["since"] = 1764950400.25;
  profile["connection"]["lastDisconnectError"] = {{"description", "The server did not answer."},
                                                  {"domain", "NEVPNConnectionErrorDomain"},
                                                  {"code", 8}};
  profile["onDemandEnabled"] = true;
  profile["onDemandRules"] = Json::parse(
      R"([{"action":"disconnect","interfaceType":"wifi","ssids":["Home"]},{"action":"connect"}])");
  profile["protocol"]["disconnectOnSleep"] = true;
  seed({profile});
  expectSuccess(
      second("status"),
      R"({"configured":true,"connected":true,"connecting":false,"disconnecting":false,)"
      R"("status":"connected","perAppMode":true,"appRuleCount":2,)"
      R"("serverAddress":"198.51.100.7","connectedSince":"2025-12-05T16:00:00.250Z",)"
      R"("lastDisconnectError":{"message":"The server did not answer.",)"
      R"("domain":"NEVPNConnectionErrorDomain","code":8},"onDemand":{"enabled":true,"rules":[)"
      R"({"action":"disconnect","interfaceType":"wifi","ssids":["Home"]},)"
      R"({"action":"connect","interfaceType":"any"}]},"networkPolicy":{)"
      R"("includeAllNetworks":false,"excludeLocalNetworks":false,"disconnectOnSleep":true,)"
      R"("enforceRoutes":false},"appRules":[{"signingIdentifier":"com.example.mail",)"
      R"("matchPath":"/Applications/com.example.mail.app/Contents/MacOS/com.example.mail"},)"
      R"({"signingIdentifier":"com.example.any","matchPath":null}],"enabled":true,"displaced":false})");
  expectSuccess(run({"status"}),
                R"({"configured":true,"connected":true,"connecting":false,"disconnecting":false,)"
                R"("status":"connected","perAppMode":true,"appRuleCount":2})");

  // A start that has settled came up half a second after it; a connected status written
  // without its time, one that is not connected, and one that on-demand brought up have none.
  // An error given as a text has no domain or code, and a Mac before 13 keeps none.
  const auto since = [&](Json connection, Json network = nullptr) {
    Json changed = profile;
    changed["connection"] = std::move(connection);
    seed({changed});
    if (!network.is_null()) {
      Json document = stored();
      document["network"] = std::move(network);
      seedPreferences(home_.path(), document);
    }
    return added(second("status"))["connectedSince"];
  };
  EXPECT_EQ(since({{"status", 2}, {"since", 1764950400.25}}), "2025-12-05T16:00:00.750Z");
  EXPECT_EQ(since({{"status", 3}}), nullptr);
  EXPECT_EQ(since({{"status", 2}, {"since", 1764950400.25}, {"failing", true}}), nullptr);
  EXPECT_EQ(since({{"status", 1}, {"since", 1764950400.25}}, {{"interfaceType", "ethernet"}}),
            nullptr);
  profile["connection"]["lastDisconnectError"] = "gone";
  seed({profile});
  EXPECT_EQ(added(second("status"))["lastDisconnectError"],
            Json::parse(R"({"message":"gone","domain":null,"code":null})"));
  Json older = stored();
  older["system"] = {{"macOSVersion", "12.7.4"}};
  seedPreferences(home_.path(), older);
  EXPECT_EQ(added(second("status"))["lastDisconnectError"], nullptr);

  // Text beyond ASCII is written as it is, in UTF-8, never escaped.
  Json accented =
      toolProfile("ONE", 1,
                  Json::array({{{"signingIdentifier", "com.example.café"},
                                {"designatedRequirement", "x"},
                                {"matchPath", "/Applications/Café.app/Contents/MacOS/Café"}}}));
  accented["protocol"]["serverAddress"] = "zürich.example";
  seed({accented});
  const std::string written = second("status").standardOutput;
  EXPECT_NE(written.find(R"("serverAddress":"zürich.example")"), std::string::npos) << written;
  EXPECT_NE(written.find(R"("appRules":[{"signingIdentifier":"com.example.café",)"
                         R"("matchPath":"/Applications/Café.app/Contents/MacOS/Café"}])"),
            std::string::npos)
      << written;
}

// A connect that the system accepts and that never comes up: connecting at first, then
// disconnected, with the reason the fault gave.
TEST_F(Protocol2, AConnectThatFailsLaterTellsWhy) {
  seed({}, {{"connectFails",
             {{"description", "The server did not answer."},
              {"domain", "NEVPNConnectionErrorDomain"},
              {"code", 8}}}});
  const auto connected = second("connect", kFullTunnel);
  EXPECT_EQ(Json::parse(connected.standardOutput)["status"], "connecting");
  EXPECT_EQ(added(connected)["lastDisconnectError"], nullptr);  // it has not fallen yet
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  const auto later = second("status");
  EXPECT_EQ(Json::parse(later.standardOutput)["status"], "disconnected");
  EXPECT_EQ(added(later)["lastDisconnectError"],
            Json::parse(R"({"message":"The server did not answer.",)"
                        R"("domain":"NEVPNConnectionErrorDomain","code":8})"));
  EXPECT_EQ(added(later)["connectedSince"], nullptr);
}

// Failures sorted without their text: the platform's refusal with its NSError-like cause, a
// request that cannot be read, a profile of the wrong kind, and the command line itself.
TEST_F(Protocol2, FailuresCarryTheirCodeStepAndPlatformError) {
  const Json denied = {
      {"save",
       {{"description", "permission denied"}, {"domain", "NEVPNErrorDomain"}, {"code", 5}}}};
  seed({toolProfile("ONE", 1)}, denied);
  expectFailure(run({"connect"}, kFullTunnel),
                "Failed to save packet tunnel preferences: permission denied");
  const auto refused = second("connect", kFullTunnel);
  EXPECT_EQ(refused.standardError,
            R"({"error":"Failed to save packet tunnel preferences: permission denied",)"
            R"("code":"platform","step":"save","platformError":{"domain":"NEVPNErrorDomain",)"
            R"("code":5}})");
  EXPECT_EQ(refused.exitStatus, 1);

  seed({toolProfile("ONE", 1)}, {{"start", "refused"}});
  EXPECT_EQ(second("connect", kFullTunnel).standardError,
            R"({"error":"Failed to start packet tunnel: refused","code":"platform",)"
            R"("step":"start"})");
  EXPECT_EQ(second("connect").standardError,
            R"({"error":"Expected JSON payload on stdin.","code":"invalidRequest",)"
            R"("step":"request"})");
  seed({toolProfile("ONE", 1)});
  EXPECT_EQ(second("update-app-rules", R"({"excludedApps":[]})").standardError,
            R"({"error":"Kelo VPN packet tunnel manager is not configured.",)"
            R"("code":"notPerApp"})");
  seed({});
  EXPECT_EQ(second("update-app-rules", R"({"excludedApps":[]})").standardError,
            R"({"error":"Kelo VPN packet tunnel manager is not configured.",)"
            R"("code":"notConfigured"})");

  // An option the tool does not know is refused under protocol 2 only; a protocol it does not
  // know is answered in protocol 1, as a tool that predates it would.
  const auto unknown = run({"status", "--protocol=2", "--wait"});
  EXPECT_EQ(
      unknown.standardError,
      R"({"error":"Unknown option: --wait. Usage: kelo-ne-manager )"
      R"(<connect|disconnect|status|update-app-rules|remove|wait|export|version> [--protocol=2]",)"
      R"("code":"usage"})");
  EXPECT_EQ(unknown.exitStatus, 1);
  EXPECT_EQ(run({"status", "--wait"}).exitStatus, 0);
  EXPECT_EQ(run({"status", "--protocol=3"}).standardOutput, kNotConfigured);
  EXPECT_EQ(run({"stats", "--protocol=2"}).standardError,
            R"({"error":"Unknown command: stats","code":"usage"})");
}

// A stop is told with the step it came in: waiting for the lock that a restarting connect
// holds (the handler's document), and in the restart's wait once a change was made (the main
// thread's).
TEST_F(Protocol2, AStopIsToldWithItsStepAndSignal) {
  seed({toolProfile("ONE", 3)});
  const auto restarting = [this](std::vector<std::string> arguments, double delay) {
    return ToolInvocation{
        .arguments = std::move(arguments),
        .input = kFullTunnel,
        .home = home_.path(),
        .prefix = {"/bin/sh", "-c", "sleep " + std::to_string(delay) + "; exec \"$0\" \"$@\""}};
  };
  std::vector<ToolInvocation> runs = {restarting({"connect"}, 0),
                                      restarting({"disconnect", "--protocol=2"}, 0.2)};
  runs[1].signalAfter = std::pair{SIGTERM, std::chrono::microseconds(600'000)};
  const auto results = runToolsConcurrently(runs);
  EXPECT_EQ(results[0].exitStatus, 0) << results[0].standardError;
  EXPECT_EQ(results[1].standardError,
            R"({"error":"Stopped by SIGTERM before the request was complete.","code":"stopped",)"
            R"("step":"lock","signal":"SIGTERM"})");

  seed({toolProfile("ONE", 3)});
  auto stopped = restarting({"connect", "--protocol=2"}, 0);
  stopped.signalAfter = std::pair{SIGINT, std::chrono::microseconds(700'000)};
  const auto result = runTool(stopped);
  EXPECT_EQ(result.standardError,
            R"({"error":"Stopped by SIGINT before the request was complete.","code":"stopped",)"
            R"("step":"stop","signal":"SIGINT"})");
  EXPECT_EQ(result.exitStatus, 1);

  // A disconnect whose stop cannot be recorded yet, the preferences' lock being held. The lock
  // is let go after two seconds, so that a runtime that holds signals until a blocking call
  // returns (ThreadSanitizer's) still lets the run end; there the answer is not checked.
  seed({toolProfile("ONE", 3)});
  const int held = open((home_ / ".local/state/kelo-ne-manager/vpn-preferences.lock").c_str(),
                        O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  std::thread letGo([held] {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    close(held);
  });
  const auto stuck =
      runTool({.arguments = {"disconnect", "--protocol=2"},
               .home = home_.path(),
               .signalAfter = std::pair{SIGTERM, std::chrono::microseconds(500'000)}});
  letGo.join();
  if (std::string(KELO_SANITIZER) != "thread") {
    EXPECT_EQ(stuck.standardError,
              R"({"error":"Stopped by SIGTERM before the request was complete.","code":"stopped",)"
              R"("step":"stop","signal":"SIGTERM"})");
  }
}

// Only one VPN configuration is enabled on a Mac at a time. A connect selects the tool's profile
// and switches the other off; another application's selected later displaces it, which status
// tells; a connect that does not take over then refuses without a change, and one that does
// takes the slot back; update-app-rules leaves a displaced profile displaced.
TEST_F(Protocol2, AnotherVpnTakingOverIsToldAndTakenBackOnlyWhenAsked) {
  Json other = toolProfile("OTHER", 1);
  other["protocol"]["providerBundleIdentifier"] = "com.example.othervpn";
  seedPreferences(home_.path(), {{"profiles", {other}}, {"system", {{"oneEnabled", true}}}});
  ASSERT_EQ(second("connect", connectRequest().dump()).exitStatus, 0);
  EXPECT_EQ(profileWithIdentifier(stored(), "OTHER")["enabled"], false);
  const auto selected = added(second("status"));
  EXPECT_EQ(std::pair(selected["enabled"], selected["displaced"]),
            std::pair(Json(true), Json(false)));

  // The other application selects its own configuration, as the system then stores it.
  const auto selectOther = [this] {
    Json document = stored();
    for (auto& profile : document["profiles"]) {
      profile["enabled"] = profile["identifier"] == "OTHER";
    }
    seedPreferences(home_.path(), document);
  };
  selectOther();
  const auto displaced = added(second("status"));
  EXPECT_EQ(std::pair(displaced["enabled"], displaced["displaced"]),
            std::pair(Json(false), Json(true)));
  const std::string path = preferencesPath(home_.path());
  const std::string before = readFile(path);
  Json polite = connectRequest();
  polite["takeOver"] = false;
  const auto refused = second("connect", polite.dump());
  EXPECT_EQ(refused.standardError,
            R"({"error":"Another VPN configuration is selected on this Mac, and the request does )"
            R"(not take over from it: the Kelo VPN profile was left as it is.",)"
            R"("code":"otherVpnSelected","step":"load"})");
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(readFile(path), before);

  // Taking over is the default; a connect that need not take over goes on as before.
  ASSERT_EQ(second("connect", connectRequest().dump()).exitStatus, 0);
  EXPECT_EQ(profileWithIdentifier(stored(), "OTHER")["enabled"], false);
  EXPECT_EQ(added(second("status"))["displaced"], false);
  EXPECT_EQ(second("connect", polite.dump()).exitStatus, 0);

  // New rules for a displaced per-app profile leave it displaced and the other selected; the
  // restart of its running tunnel then fails at its start.
  installSignedApplications({"Mail", "Browser"});
  const Json browser = Json::array({home_ / "Applications/Browser.app"});
  ASSERT_EQ(runSigning("connect", connectRequest(browser)).exitStatus, 0);
  selectOther();
  const auto updated = runSigning("update-app-rules", {{"excludedApps", Json::array()}});
  EXPECT_EQ(updated.standardError,
            R"({"error":"Failed to start packet tunnel: The VPN configuration is not enabled.",)"
            R"("code":"platform","step":"start"})");
  const Json document = stored();
  EXPECT_EQ(profileWithIdentifier(document, "OTHER")["enabled"], true);
  for (const auto& profile : document["profiles"]) {
    if (profile["identifier"] != "OTHER") {
      EXPECT_EQ(profile["enabled"], false);
      EXPECT_EQ(profile["appRules"].size(), 2u);  // Browser no longer excluded
    }
  }
}

// "version" reads nothing, takes no lock and touches no profile, in any protocol; its minor
// number counts the features it lists.
TEST_F(Protocol2, VersionAnswersTheBuildWithoutTouchingAnything) {
  const std::string expected =
      R"({"version":")" KELO_VERSION
      R"(","protocols":[1,2],"commands":["connect","disconnect","status","update-app-rules",)"
      R"("remove","wait","export","version"],"features":["onDemand","networkPolicy","remove",)"
      R"("wait","ruleCoverage","missingApps","staleProfiles","export","takeOver"]})";
  const std::string version = KELO_VERSION;
  EXPECT_EQ(version.substr(0, version.rfind('.')), "1.9");
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"version"}, {"--version"}, {"version", "--protocol=2"}}) {
    const auto answered = run(arguments, "{}");
    expectSuccess(answered, expected);
    EXPECT_EQ(answered.inputOffset, 0);
  }
  EXPECT_FALSE(std::filesystem::exists(home_ / ".local"));
}

// The applications that got no rule, and why, in the answers of the commands that built rules.
TEST_F(Protocol2, RuleBuildingNamesTheApplicationsLeftOut) {
  const auto app = [this](const std::string& name) {
    const std::string executable = home_ / ("Applications/" + name + ".app/Contents/MacOS/" + name);
    writeFile(executable, "", 0755);
    return executable;
  };
  const std::string mail = app("Mail");
  const std::string unsigned_ = app("Unsigned");
  const std::string excluded = app("Browser");
  app("Bad\xff");
  writeFile(home_ / ".codesign",
            "#!/bin/sh\ncase \"$4\" in *Unsigned*) exit 1;; esac\n"
            "echo \"Identifier=com.example.$(basename \"$4\")\" >&2\necho 'designated => x'\n",
            0755);
  const auto invoke = [&](const std::string& command, const Json& request) {
    return runTool({.arguments = {command, "--protocol=2"},
                    .input = request.dump(),
                    .home = home_.path(),
                    .homeCodesign = true});
  };
  const Json skipped =
      Json::parse(R"([{"path":")" + home_.path() +
                  R"(/Applications/Bad\ufffd.app/Contents/MacOS/Bad\ufffd","reason":"notUtf8"},)"
                  R"({"path":")" +
                  unsigned_ + R"(","reason":"notSigned"}])");
  const auto connected = invoke("connect", connectRequest(Json::array({excluded})));
  ASSERT_EQ(connected.exitStatus, 0) << connected.standardError;
  EXPECT_EQ(added(connected)["skippedApplications"], skipped);
  EXPECT_EQ(
      added(connected)["appRules"],
      Json::parse(R"([{"signingIdentifier":"com.example.Mail","matchPath":")" + mail + R"("}])"));
  const auto updated = invoke("update-app-rules", {{"excludedApps", Json::array({excluded})}});
  EXPECT_EQ(added(updated)["skippedApplications"], skipped);
  EXPECT_FALSE(added(second("status")).contains("skippedApplications"));

  // Whole applications: entries that name nothing installed are all named, or skipped when
  // asked; the rules carry no path, and an update without a choice keeps the coverage.
  Json request = connectRequest(Json::array({excluded, "/nowhere/Gone.app", ""}));
  request["ruleCoverage"] = "wholeApplication";
  const auto failed = invoke("connect", request);
  EXPECT_EQ(failed.exitStatus, 1);
  EXPECT_EQ(
      failed.standardError,
      R"({"error":"No executable found in \/nowhere\/Gone.app.","code":"applicationNotFound",)"
      R"("step":"request","paths":["\/nowhere\/Gone.app",""]})");
  request["missingApps"] = "skip";
  const auto whole = invoke("connect", request);
  ASSERT_EQ(whole.exitStatus, 0) << whole.standardError;
  const Json wholeSkipped =
      Json::parse(R"([{"path":"\/nowhere\/Gone.app","reason":"notInstalled"},)"
                  R"({"path":"","reason":"notInstalled"}])");
  Json expectedSkipped = wholeSkipped;
  expectedSkipped.insert(expectedSkipped.end(), skipped.begin(), skipped.end());
  EXPECT_EQ(added(whole)["skippedApplications"], expectedSkipped);
  const Json wholeRules =
      Json::parse(R"([{"signingIdentifier":"com.example.Mail","matchPath":null}])");
  EXPECT_EQ(added(whole)["appRules"], wholeRules);
  const auto kept = invoke("update-app-rules", {{"excludedApps", Json::array({excluded})}});
  EXPECT_EQ(added(kept)["appRules"], wholeRules);
}

}  // namespace
}  // namespace kelo::testing
