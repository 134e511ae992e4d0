// The whole per-app chain through the binary with its fixed paths: fake applications under
// /Applications, /System/Applications and ~/Applications and a fake /usr/bin/codesign, laid
// over the real root in a private mount namespace for each run.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "blackbox/tool_runner.h"
#include "support/test_support.h"

namespace kelo::testing {
namespace {

// Signs every application but those whose name says "Unsigned"; records each call.
const char kCodesign[] =
    "#!/bin/sh\n"
    "echo \"$4\" >> \"$HOME/codesign-calls\"\n"
    "case \"$4\" in *Unsigned*) echo 'code object is not signed at all' >&2; exit 1;; esac\n"
    "name=$(basename \"$4\")\n"
    "printf 'Executable=%s\\nIdentifier=com.example.%s\\n' \"$4\" \"$name\" >&2\n"
    "echo \"designated => identifier \\\"com.example.$name\\\" and anchor apple generic\"\n";

Json rule(const std::string& name, const std::string& executable) {
  return {
      {"signingIdentifier", "com.example." + name},
      {"designatedRequirement", "identifier \"com.example." + name + "\" and anchor apple generic"},
      {"matchPath", executable}};
}

// Every process whose pid the file lists has ended; the reaper may take a moment.
void expectAllGone(const std::string& pidFile) {
  std::istringstream pids(readFile(pidFile));
  int count = 0;
  for (pid_t pid = 0; pids >> pid; ++count) {
    bool gone = false;
    for (int attempt = 0; attempt < 100 && !gone; ++attempt) {
      const std::string state = readFile("/proc/" + std::to_string(pid) + "/stat");
      gone = state.empty() || state.find(") Z ") != std::string::npos;
      if (!gone) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    EXPECT_TRUE(gone) << pid;
  }
  EXPECT_GT(count, 0);
}

class FakeSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fakeRootAvailable()) {
      GTEST_SKIP() << "needs root and mount namespaces to lay fake files over /";
    }
    writeFile(fake_ / "usr/bin/codesign", kCodesign, 0755);
    mail_ = app(fake_ / "Applications", "Mail.app", "Mail", "/Applications");
    terminal_ = app(fake_ / "Applications", "Utilities/Terminal.app", "Terminal", "/Applications");
    app(fake_ / "Applications", "Unsigned.app", "Unsigned", "/Applications");
    calendar_ =
        app(fake_ / "System/Applications", "Calendar.app", "Calendar", "/System/Applications");
    notes_ = app(home_ / "Applications", "Notes.app", "Notes", home_ / "Applications");
  }

  // Creates a bundle under `folder`; returns its executable's path as the tool will see it.
  static std::string app(const std::string& folder, const std::string& bundle,
                         const std::string& executable, const std::string& seenAs) {
    writeFile(folder + "/" + bundle + "/Contents/MacOS/" + executable, "", 0755);
    return seenAs + "/" + bundle + "/Contents/MacOS/" + executable;
  }

  ToolRun run(const std::string& command, const Json& request,
              std::vector<std::string> prefix = {}) {
    TemporaryDirectory scratch;
    return runTool({.arguments = {command},
                    .input = request.dump(),
                    .home = home_.path(),
                    .fakeRoot = fake_.path(),
                    .scratch = scratch.path(),
                    .prefix = std::move(prefix)});
  }
  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
  }
  Json stored() const { return readPreferences(home_.path()); }
  Json perAppProfile(const std::string& identifier, std::int64_t status) const {
    return toolProfile(identifier, status,
                       Json::array({rule("Old", "/Applications/Old.app/Contents/MacOS/Old")}));
  }

  TemporaryDirectory fake_;
  TemporaryDirectory home_;
  std::string mail_, terminal_, calendar_, notes_;
};

Json connectRequest(Json excluded) {
  return {{"privateKey", "k"},
          {"address", "10.8.0.2/32"},
          {"dns", "1.1.1.1"},
          {"peerPublicKey", "p"},
          {"peerEndpoint", "[2001:db8::1]:51820"},
          {"allowedIps", "0.0.0.0/0"},
          {"excludedApps", std::move(excluded)}};
}

std::string status(const std::string& word, int rules, bool connecting = false,
                   bool disconnecting = false) {
  return std::string(R"({"configured":true,"connected":false,"connecting":)") +
         (connecting ? "true" : "false") + R"(,"disconnecting":)" +
         (disconnecting ? "true" : "false") + R"(,"status":")" + word +
         R"(","perAppMode":true,"appRuleCount":)" + std::to_string(rules) + "}";
}

TEST_F(FakeSystem, APerAppConnectRulesEverySignedApplicationButTheExcluded) {
  const auto result = run("connect", connectRequest({"/Applications/Mail.app/"}));
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.standardOutput, status("connecting", 3, true));
  EXPECT_EQ(result.exitStatus, 0);

  const Json document = stored();
  ASSERT_EQ(document["profiles"].size(), 1u);
  const Json profile = document["profiles"][0];
  EXPECT_NE(profile["identifier"], "FULL");
  EXPECT_EQ(profile["perAppVPN"], true);
  EXPECT_EQ(profile["protocol"]["includeAllNetworks"], false);
  EXPECT_EQ(profile["protocol"]["serverAddress"], "2001:db8::1");
  EXPECT_EQ(profile["appRules"], Json::array({rule("Terminal", terminal_),
                                              rule("Calendar", calendar_), rule("Notes", notes_)}));
}

TEST_F(FakeSystem, APerAppConnectReplacesAFullTunnelProfile) {
  seed({toolProfile("FULL", 3)});
  EXPECT_EQ(run("connect", connectRequest({mail_})).standardOutput, status("connecting", 3, true));
  const Json document = stored();
  ASSERT_EQ(document["profiles"].size(), 1u);
  EXPECT_NE(document["profiles"][0]["identifier"], "FULL");
  EXPECT_EQ(document["profiles"][0]["perAppVPN"], true);
}

TEST_F(FakeSystem, AConnectThatExcludesEverythingSavesNothing) {
  const auto result =
      run("connect",
          connectRequest({mail_, terminal_, calendar_, notes_, "/Applications/Unsigned.app"}));
  EXPECT_EQ(
      result.standardError,
      R"({"error":"App-based split tunneling could not derive any included macOS apps from the current installation set."})");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(exists(preferencesPath(home_.path())));
  EXPECT_FALSE(exists(home_ / "codesign-calls"));
}

TEST_F(FakeSystem, AConnectWithoutAnyReadableSignatureSavesNothing) {
  writeFile(fake_ / "usr/bin/codesign", "#!/bin/sh\necho 'codesign: not permitted' >&2\nexit 1\n",
            0755);
  const auto result = run("connect", connectRequest({"/Applications/Absent/Thing"}));
  EXPECT_EQ(
      result.standardError,
      R"({"error":"App-based split tunneling could not build any usable macOS app rules from the installed application set."})");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(exists(preferencesPath(home_.path())));
}

TEST_F(FakeSystem, UpdateAppRulesReplacesTheRulesOfTheFirstPerAppProfile) {
  seed({toolProfile("FULL", 1), perAppProfile("FIRST", 1), perAppProfile("SECOND", 1)});
  const auto result =
      run("update-app-rules", Json{{"excludedApps", {"/System/Applications/Calendar.app"}}});
  EXPECT_EQ(result.standardOutput, status("disconnected", 3));
  EXPECT_EQ(result.exitStatus, 0);
  const Json document = stored();
  EXPECT_EQ(profileWithIdentifier(document, "FIRST")["appRules"],
            Json::array({rule("Mail", mail_), rule("Terminal", terminal_), rule("Notes", notes_)}));
  EXPECT_EQ(profileWithIdentifier(document, "FIRST")["connection"]["status"], 1);  // not started
  EXPECT_EQ(profileWithIdentifier(document, "SECOND"), perAppProfile("SECOND", 1));
  EXPECT_EQ(profileWithIdentifier(document, "FULL"), toolProfile("FULL", 1));
}

TEST_F(FakeSystem, UpdateAppRulesRestartsOnlyARunningTunnel) {
  seed({perAppProfile("ONE", 3)});
  EXPECT_EQ(run("update-app-rules", Json{{"excludedApps", Json::array()}}).standardOutput,
            status("connecting", 4, true));
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 2);

  for (const auto& [code, word] : {std::pair{4, "reasserting"}, std::pair{5, "disconnecting"}}) {
    seed({perAppProfile("ONE", code)});
    const auto result = run("update-app-rules", Json{{"excludedApps", Json::array()}});
    EXPECT_EQ(result.standardOutput, status(word, 4, code == 4, code == 5)) << word;
    const Json profile = stored()["profiles"][0];
    EXPECT_EQ(profile["connection"], (Json{{"type", "tunnelProviderSession"}, {"status", code}}));
    EXPECT_EQ(profile["appRules"].size(), 4u);
  }
}

TEST_F(FakeSystem, UpdateAppRulesReportsSaveAndReloadFaults) {
  seed({perAppProfile("ONE", 1)}, {{"save", "read-only"}});
  EXPECT_EQ(run("update-app-rules", Json{{"excludedApps", Json::array()}}).standardError,
            R"({"error":"Failed to save packet tunnel preferences: read-only"})");
  EXPECT_EQ(stored()["profiles"][0], perAppProfile("ONE", 1));

  seed({perAppProfile("ONE", 1)}, {{"reload", "vanished"}});
  EXPECT_EQ(run("update-app-rules", Json{{"excludedApps", Json::array()}}).standardError,
            R"({"error":"Failed to reload packet tunnel preferences: vanished"})");
  EXPECT_EQ(stored()["profiles"][0]["appRules"].size(), 4u);
}

TEST_F(FakeSystem, UpdateAppRulesNeedsAPerAppProfile) {
  seed({toolProfile("FULL", 3, Json::array())});
  const auto result = run("update-app-rules", Json{{"excludedApps", Json::array()}});
  EXPECT_EQ(result.standardError,
            R"({"error":"Kelo VPN packet tunnel manager is not configured."})");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_FALSE(exists(home_ / "codesign-calls"));
}

// A code-signing program that never exits must not hold the request past its deadline, nor
// outlive the tool.
TEST_F(FakeSystem, ACodesignThatNeverExitsEndsInTheTimeOutAndDiesWithTheTool) {
  writeFile(fake_ / "usr/bin/codesign",
            "#!/bin/sh\nsleep 600 &\necho $$ $! > \"$HOME/codesign-pids\"\nwait\n", 0755);
  seed({perAppProfile("ONE", 3)});
  const auto began = std::chrono::steady_clock::now();
  const auto result = run("update-app-rules", Json{{"excludedApps", Json::array()}});
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_EQ(result.standardError,
            R"({"error":"Timed out waiting for Network Extension manager response."})");
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_GE(took, std::chrono::seconds(15));
  EXPECT_EQ(stored()["profiles"][0], perAppProfile("ONE", 3));

  // The child and its own child were killed with the tool.
  expectAllGone(home_ / "codesign-pids");
}

// A name that is not UTF-8 (an archive with Latin-1 names unpacked into /Applications) cannot
// be written into a rule: that application gets none, and is not even inspected.
TEST_F(FakeSystem, AnApplicationWhosePathIsNotUTF8GetsNoRule) {
  app(fake_ / "Applications", "Caf\xe9.app", "Caf\xe9", "/Applications");
  const auto result = run("connect", connectRequest({"/Applications/Mail.app"}));
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.standardOutput, status("connecting", 3, true));
  EXPECT_EQ(stored()["profiles"][0]["appRules"],
            Json::array(
                {rule("Terminal", terminal_), rule("Calendar", calendar_), rule("Notes", notes_)}));
  EXPECT_EQ(readFile(home_ / "codesign-calls").find("Caf"), std::string::npos);
}

// A parent that ignores SIGCHLD has the system reap the children; their exit status is then
// lost, and an inspection that failed must not pass for one that succeeded.
TEST_F(FakeSystem, AFailedInspectionFailsWhenTheToolStartsWithSIGCHLDIgnored) {
  writeFile(fake_ / "usr/bin/codesign",
            "#!/bin/sh\nname=$(basename \"$4\")\n"
            "echo \"Identifier=com.example.$name\" >&2\n"
            "echo \"designated => identifier \\\"com.example.$name\\\" and anchor apple generic\"\n"
            "case \"$name\" in Unsigned) exit 1;; esac\n",
            0755);
  const auto result = run("connect", connectRequest({"/Applications/Mail.app"}),
                          {"/usr/bin/python3", "-c",
                           "import os, signal, sys\n"
                           "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                           "os.execv(sys.argv[1], sys.argv[1:])\n"});
  EXPECT_EQ(result.standardOutput, status("connecting", 3, true));
  EXPECT_EQ(stored()["profiles"][0]["appRules"],
            Json::array(
                {rule("Terminal", terminal_), rule("Calendar", calendar_), rule("Notes", notes_)}));
}

// Asked to stop while code-signing children run, the tool ends them, with what they started,
// and answers with one failure document.
TEST_F(FakeSystem, ASignalToStopEndsTheChildrenAndWritesOneFailure) {
  for (const auto& [signal, name] :
       {std::pair{"TERM", "SIGTERM"}, std::pair{"INT", "SIGINT"}, std::pair{"HUP", "SIGHUP"}}) {
    std::filesystem::remove(home_ / "codesign-pids");
    writeFile(fake_ / "usr/bin/codesign",
              std::string("#!/bin/sh\nsleep 600 &\necho $! >> \"$HOME/codesign-pids\"\n") +
                  "kill -" + signal + " $PPID\nwait\n",
              0755);
    seed({perAppProfile("ONE", 3)});
    const auto result = run("update-app-rules", Json{{"excludedApps", Json::array()}});
    EXPECT_EQ(result.standardError, std::string(R"({"error":"Stopped by )") + name +
                                        R"( before the request was complete."})");
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(stored()["profiles"][0], perAppProfile("ONE", 3));
    expectAllGone(home_ / "codesign-pids");
  }
}

// Once the time-out is reported nothing may change: the child the deadline ended must not
// let rule building go on to save a profile in the moment before the process exits.
TEST_F(FakeSystem, NothingIsSavedAfterTheTimeOutIsReported) {
  writeFile(fake_ / "usr/bin/codesign",
            "#!/bin/sh\ncase \"$4\" in *Mail) sleep 600 & wait;; esac\n"
            "name=$(basename \"$4\")\n"
            "echo \"Identifier=com.example.$name\" >&2\n"
            "echo \"designated => identifier \\\"com.example.$name\\\"\"\n",
            0755);
  const auto result = run("connect", connectRequest({"/Applications/Utilities/Terminal.app"}));
  EXPECT_EQ(result.standardError,
            R"({"error":"Timed out waiting for Network Extension manager response."})");
  EXPECT_EQ(result.exitStatus, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a late writer would show
  EXPECT_FALSE(exists(preferencesPath(home_.path())));
}

}  // namespace
}  // namespace kelo::testing
