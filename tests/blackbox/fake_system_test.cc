// The whole per-app chain through the binary with its fixed paths: fake applications under
// /Applications, /System/Applications and ~/Applications and a fake /usr/bin/codesign, laid
// over the real root in a private mount namespace for each run. Also how the tool ends its
// children, and what it does with the surroundings callers give it.
#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <list>
#include <sstream>
#include <thread>

#include "blackbox/tool_runner.h"

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

const std::string kTimedOut =
    R"({"error":"Timed out waiting for Network Extension manager response."})";

Json rule(const std::string& name, const std::string& executable) {
  return {
      {"signingIdentifier", "com.example." + name},
      {"designatedRequirement", "identifier \"com.example." + name + "\" and anchor apple generic"},
      {"matchPath", executable}};
}

const Json kNothingExcluded = {{"excludedApps", Json::array()}};

std::string status(const std::string& word, int rules) {
  return R"({"configured":true,"connected":false,"connecting":)" +
         std::string(word == "connecting" ? "true" : "false") +
         R"(,"disconnecting":false,"status":")" + word + R"(","perAppMode":true,"appRuleCount":)" +
         std::to_string(rules) + "}";
}

// Every process whose pid the file lists has ended (a zombie has: only its reaper is late).
void expectAllGone(const std::string& pidFile) {
  std::istringstream pids(readFile(pidFile));
  int count = 0;
  for (pid_t pid = 0; pids >> pid; ++count) {
    const auto gone = [pid, stat = "/proc/" + std::to_string(pid) + "/stat"] {
      return (kill(pid, 0) != 0 && errno == ESRCH) ||
             readFile(stat).find(") Z ") != std::string::npos;
    };
    for (int attempt = 0; attempt < 100 && !gone(); ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(gone()) << pid;
  }
  EXPECT_GT(count, 0);
}

class FakeSystem : public ToolTest {
 protected:
  void SetUp() override {
    if (!fakeRootAvailable()) {
      GTEST_SKIP() << "needs root and mount namespaces to lay fake files over /";
    }
    writeFile(fake_ / "usr/bin/codesign", kCodesign, 0755);
    mail_ = app("Applications/Mail.app", "Mail");
    terminal_ = app("Applications/Utilities/Terminal.app", "Terminal");
    app("Applications/Unsigned.app", "Unsigned");
    calendar_ = app("System/Applications/Calendar.app", "Calendar");
    notes_ = home_ / "Applications/Notes.app/Contents/MacOS/Notes";
    writeFile(notes_, "", 0755);
  }

  // Creates a bundle under the fake root; returns its executable's path as the tool sees it.
  std::string app(const std::string& bundle, const std::string& executable) {
    const std::string path = bundle + "/Contents/MacOS/" + executable;
    writeFile(fake_ / path, "", 0755);
    return "/" + path;
  }
  void codesign(const std::string& body) { writeFile(fake_ / "usr/bin/codesign", body, 0755); }

  ToolInvocation invocation(const std::string& command, const Json& request,
                            std::vector<std::string> prefix = {}) {
    scratches_.emplace_back();
    return {.arguments = {command},
            .input = request.dump(),
            .home = home_.path(),
            .fakeRoot = fake_.path(),
            .scratch = scratches_.back().path(),
            .prefix = std::move(prefix)};
  }
  ToolRun run(const std::string& command, const Json& request,
              std::vector<std::string> prefix = {}) {
    return runTool(invocation(command, request, std::move(prefix)));
  }
  Json perAppProfile(const std::string& identifier, std::int64_t status) const {
    return toolProfile(identifier, status,
                       Json::array({rule("Old", "/Applications/Old.app/Contents/MacOS/Old")}));
  }
  // The rules of every signed application but Mail, in discovery order.
  Json rulesButMail() const {
    return {rule("Terminal", terminal_), rule("Calendar", calendar_), rule("Notes", notes_)};
  }

  TemporaryDirectory fake_;
  std::list<TemporaryDirectory> scratches_;
  std::string mail_, terminal_, calendar_, notes_;
};

// A name that is not UTF-8 (an archive with Latin-1 names unpacked into /Applications) cannot
// be written into a rule: that application gets none, and is not even inspected.
TEST_F(FakeSystem, APerAppConnectRulesEverySignedApplicationButTheExcluded) {
  app("Applications/Caf\xe9.app", "Caf\xe9");
  seed({toolProfile("FULL", 3)});
  const auto result = run("connect", connectRequest({"/Applications/Mail.app/"}));
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.standardOutput, status("connecting", 3));
  EXPECT_EQ(result.exitStatus, 0);

  const Json document = stored();
  ASSERT_EQ(document["profiles"].size(), 1u);
  const Json profile = document["profiles"][0];
  EXPECT_NE(profile["identifier"], "FULL");
  EXPECT_EQ(profile["perAppVPN"], true);
  EXPECT_EQ(profile["protocol"]["includeAllNetworks"], false);
  EXPECT_EQ(profile["protocol"]["serverAddress"], "2001:db8::1");
  EXPECT_EQ(profile["appRules"], rulesButMail());
  EXPECT_EQ(readFile(home_ / "codesign-calls").find("Caf"), std::string::npos);
}

// A tunnel that the system keeps up on demand is restarted with on-demand off, and on-demand is
// switched on again once the start was asked for: the restart does not fight the system.
TEST_F(FakeSystem, UpdateAppRulesRestartsATunnelKeptUpOnDemand) {
  Json request = connectRequest({"/Applications/Mail.app/"});
  request["onDemandRules"] = Json::parse(R"([{"action":"connect"}])");
  seedPreferences(home_.path(),
                  {{"profiles", Json::array()}, {"network", {{"interfaceType", "ethernet"}}}});
  EXPECT_EQ(run("connect", request).standardOutput, status("connecting", 3));
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(run("update-app-rules", kNothingExcluded).standardOutput, status("connecting", 4));
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], true);
}

// However few descriptors or processes the tool may have, and however many the code-signing
// runs need themselves (here each runs a pipeline of its own, as a shell wrapper does, whose
// orphans the system's init may reap late or never) while other processes of the user take
// some too, every application keeps its rule, or the run ends with one clear document and
// nothing saved; with twenty processes or more, every rule.
TEST_F(FakeSystem, ScarceDescriptorsOrProcessesCostNoRule) {
  Json rules = Json::array({rule("Mail", mail_)});  // in discovery order
  for (int index = 10; index < 50; ++index) {
    const std::string name = "App" + std::to_string(index);
    rules.push_back(rule(name, app("Applications/Many/" + name + ".app", name)));
  }
  for (const auto& each : rulesButMail()) {
    rules.push_back(each);
  }
  const Json request = connectRequest({"/Applications/Unsigned.app"});

  // As a user of its own, whose process limit counts every process of theirs.
  if (const OtherUser& user = otherUser(); !user.unavailable.empty()) {
    GTEST_SKIP() << user.unavailable;
  }
  codesign(std::string(kCodesign) +
           "key=$(printf '%s' \"$4\" | sha256sum | cut -c1-64) && sleep 0.02 && [ -n \"$key\" ] || "
           "exit 1\n");
  ASSERT_EQ(chown(home_.path().c_str(), otherUser().uid, otherUser().uid), 0);
  ASSERT_EQ(chmod(fake_.path().c_str(), 0755), 0);
  // A sanitizer's build loads shared libraries, and its runtime checks memory through a pipe of
  // its own: a handful of descriptors is too few for the runtime, not for the tool.
  const bool sanitized = !std::string(KELO_SANITIZER).empty();
  const std::vector<std::string> everyRule = {"--nproc=20", "--nproc=40", "--nofile=12",
                                              "--nofile=20"};
  std::vector<std::string> limits = {"--nproc=3", "--nproc=8", "--nproc=12"};
  limits.insert(limits.end(), everyRule.begin(), everyRule.end());
  for (const char* fewer : {"--nofile=3", "--nofile=5", "--nofile=8"}) {
    limits.insert(limits.end(), sanitized ? 0 : 1, fewer);
  }
  for (const std::string& limit : limits) {
    for (const char* others : {"", "sleep 0.2 & "}) {
      std::filesystem::remove_all(home_ / ".local");
      const auto limited = run("connect", request, asOtherUser(limit, others));
      if (limited.exitStatus == 0 || std::ranges::count(everyRule, limit) > 0) {
        EXPECT_EQ(limited.standardError, "") << limit << others;
        EXPECT_EQ(stored()["profiles"][0]["appRules"], rules) << limit << others;
      } else {
        EXPECT_EQ(limited.exitStatus, 1) << limit << others << limited.standardError;
        EXPECT_EQ(Json::parse(limited.standardError, nullptr, false).size(), 1u) << limit;
        EXPECT_FALSE(exists(preferencesPath(home_.path()))) << limit << others;
      }
    }
  }

  // With no process to spare at all, no child can start: a per-app request fails as a whole, a
  // full-tunnel one, which needs none, succeeds.
  std::filesystem::remove_all(home_ / ".local");
  const auto nobody = run("connect", request, withoutProcessesToSpare());
  EXPECT_EQ(
      nobody.standardError,
      R"({"error":"The program \/usr\/bin\/codesign could not be started: Resource temporarily unavailable"})");
  EXPECT_EQ(nobody.exitStatus, 1);
  EXPECT_EQ(run("connect", connectRequest(), withoutProcessesToSpare()).standardError, "");
}

// The runs whose code-signing children must end with the tool need a fake code-signing program
// but no fake root: they run without root, and on a Mac, with the build of the tool that runs
// "$HOME/.codesign", and applications under ~/Applications. (A Mac's own /Applications are
// inspected too, so the checks name only the applications made here.)
class Children : public ToolTest {
 protected:
  void SetUp() override {
    writeFile(home_ / "Applications/Mail.app/Contents/MacOS/Mail", "", 0755);
    writeFile(home_ / "Applications/Notes.app/Contents/MacOS/Notes", "", 0755);
  }
  void codesign(const std::string& body) const { writeFile(home_ / ".codesign", body, 0755); }
  ToolInvocation invocation(const std::string& command, const Json& request,
                            std::vector<std::string> prefix = {}) const {
    return {.arguments = {command},
            .input = request.dump(),
            .home = home_.path(),
            .prefix = std::move(prefix),
            .homeCodesign = true};
  }
  ToolRun run(const std::string& command, const Json& request,
              std::vector<std::string> prefix = {}) const {
    return runTool(invocation(command, request, std::move(prefix)));
  }
  // The signing identifiers of the stored profile's rules, of the applications made here.
  std::vector<std::string> rulesOf(const std::string& identifier) const {
    std::vector<std::string> found;
    const Json profile = profileWithIdentifier(stored(), identifier);
    for (const auto& rule : profile["appRules"]) {
      const auto name = rule["signingIdentifier"].get<std::string>();
      if (name == "com.example.Mail" || name == "com.example.Notes") {
        found.push_back(name);
      }
    }
    return found;
  }
  Json perAppProfile(const std::string& identifier, std::int64_t status) const {
    return toolProfile(identifier, status, Json::array({rule("Old", "/Old")}));
  }

  const std::vector<std::string> notes_ = {"com.example.Notes"};
};

// A run of the code-signing program ends when it exits, even though a process it left behind
// still holds its output; what it left behind is ended then too. And a parent that ignores SIGCHLD
// has the system reap the children: their exit status is then lost, and an inspection that failed
// must not pass for one that succeeded.
TEST_F(Children, AnInspectionEndsWhenItsChildExitsWithItsStatus) {
  codesign(std::string(kCodesign) + "sleep 30 & echo $! >> \"$HOME/left-behind\"\n");
  const auto began = std::chrono::steady_clock::now();
  const auto result = run("connect", connectRequest({home_ / "Applications/Mail.app"}),
                          {"/usr/bin/python3", "-c",
                           "import os, signal, sys\n"
                           "signal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
                           "os.execv(sys.argv[1], sys.argv[1:])\n"});
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(rulesOf(stored()["profiles"][0]["identifier"]), notes_);
  expectAllGone(home_ / "left-behind");  // what a child leaves behind ends with it
}

// Asked to stop while code-signing children run, the tool ends them, with what they started,
// and answers with one failure document; killed outright, it still ends them (on Linux, whose
// children ask for a signal when their parent dies); a stop signal the caller had ignored stays
// ignored.
TEST_F(Children, AStopSignalEndsTheChildrenAndWritesOneFailure) {
  for (const auto& [signal, name] :
       {std::pair{"TERM", "SIGTERM"}, std::pair{"INT", "SIGINT"}, std::pair{"HUP", "SIGHUP"}}) {
    std::filesystem::remove(home_ / "codesign-pids");
    codesign(std::string("#!/bin/sh\nsleep 600 &\necho $! >> \"$HOME/codesign-pids\"\n") +
             "kill -" + signal + " $PPID\nwait\n");
    seed({perAppProfile("ONE", 3)});
    const auto result = run("update-app-rules", kNothingExcluded);
    EXPECT_EQ(result.standardError, std::string(R"({"error":"Stopped by )") + name +
                                        R"( before the request was complete."})");
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(stored()["profiles"][0], perAppProfile("ONE", 3));
    expectAllGone(home_ / "codesign-pids");
  }

#ifdef __linux__
  std::filesystem::remove(home_ / "codesign-pids");
  codesign("#!/bin/sh\necho $$ >> \"$HOME/codesign-pids\"\nexec sleep 600\n");
  auto killed = invocation("update-app-rules", kNothingExcluded);
  killed.signalAfter = std::pair{SIGKILL, std::chrono::microseconds(700'000)};
  EXPECT_EQ(runTool(killed).exitStatus, 128 + SIGKILL);
  expectAllGone(home_ / "codesign-pids");
#endif

  // Under nohup the run goes on, and the rules of the first per-app profile are replaced whole;
  // a timer signal from someone else before the deadline changes nothing either.
  codesign(std::string(kCodesign) + "kill -HUP $PPID; kill -ALRM $PPID\n");
  seed({toolProfile("FULL", 1), perAppProfile("ONE", 1), perAppProfile("TWO", 1)});
  const auto underNohup =
      run("update-app-rules", {{"excludedApps", {home_ / "Applications/Mail.app"}}}, {"nohup"});
  EXPECT_EQ(underNohup.exitStatus, 0);
  EXPECT_EQ(rulesOf("ONE"), notes_);
  EXPECT_EQ(Json::parse(underNohup.standardOutput)["appRuleCount"],
            profileWithIdentifier(stored(), "ONE")["appRules"].size());
  EXPECT_EQ(profileWithIdentifier(stored(), "TWO"), perAppProfile("TWO", 1));
}

// "update-app-rules" switches on-demand off to restart a tunnel the system keeps up, and on again
// whatever ends the run: a start that fails, or a stop signal in the restart's pause. Killed
// outright in that pause, it leaves the pause recorded: the next "update-app-rules" (or
// "connect") switches on-demand back on, and a "disconnect", off on purpose, only clears it.
TEST_F(Children, UpdateAppRulesLeavesOnDemandOnWhateverEndsIt) {
  codesign(kCodesign);
  const auto seedOnDemand = [this](const Json& faults) {
    Json profile = perAppProfile("ONE", 3);
    profile["onDemandEnabled"] = true;
    profile["onDemandRules"] = Json::parse(R"([{"action":"connect"}])");
    seedPreferences(home_.path(), {{"profiles", {profile}},
                                   {"network", {{"interfaceType", "ethernet"}}},
                                   {"faults", faults}});
  };
  seedOnDemand({{"start", "The extension crashed."}});
  expectFailure(run("update-app-rules", kNothingExcluded),
                "Failed to start packet tunnel: The extension crashed.");
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], true);
  // A save that was refused switched nothing off: there is nothing to repair or to report.
  seedOnDemand({{"save", "Denied."}});
  expectFailure(run("update-app-rules", kNothingExcluded),
                "Failed to save packet tunnel preferences: Denied.");
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], true);

  seedOnDemand(Json::object());
  auto stopped = invocation("update-app-rules", kNothingExcluded);
  stopped.signalAfter = std::pair{SIGTERM, std::chrono::microseconds(700'000)};
  expectFailure(runTool(stopped), "Stopped by SIGTERM before the request was complete.");
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], true);
  EXPECT_EQ(rulesOf("ONE"), (std::vector<std::string>{"com.example.Mail", "com.example.Notes"}));

  const auto paused = [this] {
    return stored()["profiles"][0]["protocol"]["providerConfiguration"].value("on_demand_paused",
                                                                              0);
  };
  const auto killedInItsPause = [&] {
    seedOnDemand(Json::object());
    auto killed = invocation("update-app-rules", kNothingExcluded);
    killed.signalAfter = std::pair{SIGKILL, std::chrono::microseconds(700'000)};
    killed.recorded = false;  // no document
    EXPECT_EQ(runTool(killed).exitStatus, 128 + SIGKILL);
    EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], false);
    EXPECT_EQ(paused(), 1);
  };
  killedInItsPause();
  EXPECT_EQ(run("update-app-rules", kNothingExcluded).exitStatus, 0);
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], true);
  EXPECT_EQ(paused(), 0);
  killedInItsPause();
  EXPECT_EQ(run("disconnect", Json()).exitStatus, 0);
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], false);
  EXPECT_EQ(paused(), 0);
  EXPECT_EQ(run("update-app-rules", kNothingExcluded).exitStatus, 0);
  EXPECT_EQ(stored()["profiles"][0]["onDemandEnabled"], false);
}

// Every wait on a child ends at the deadline, 15 seconds from the start (the waits that need no
// child are in the command line's tests): a code-signing program that never ends (every child
// still running is ended with what it started), and one that never ends for one application
// only, whose rule building would go on to save a profile in the moment before the process
// exits (nothing is saved once the time-out is reported).
TEST_F(Children, EveryWaitEndsAtTheDeadline) {
  TemporaryDirectory otherHome;
  for (const char* app : {"Mail.app/Contents/MacOS/Mail", "Notes.app/Contents/MacOS/Notes",
                          "Editor.app/Contents/MacOS/Editor"}) {
    writeFile(otherHome / "Applications/" + app, "", 0755);
  }
  writeFile(otherHome / ".codesign",
            "#!/bin/sh\ncase \"$4\" in *Mail) sleep 600 & wait;; esac\n"
            "name=$(basename \"$4\")\n"
            "echo \"Identifier=com.example.$name\" >&2\n"
            "echo \"designated => identifier \\\"com.example.$name\\\"\"\n",
            0755);
  codesign("#!/bin/sh\nsleep 600 &\necho $$ $! > \"$HOME/codesign-pids\"\nwait\n");
  seed({perAppProfile("ONE", 3)});

  ToolInvocation saving =
      invocation("connect", connectRequest({otherHome / "Applications/Editor.app"}));
  saving.home = otherHome.path();
  const auto began = std::chrono::steady_clock::now();
  const auto results =
      runToolsConcurrently({invocation("update-app-rules", kNothingExcluded), saving});
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(15));
  for (const auto& result : results) {
    EXPECT_EQ(result.standardError, kTimedOut);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.exitStatus, 1);
  }
  EXPECT_EQ(stored()["profiles"][0], perAppProfile("ONE", 3));
  expectAllGone(home_ / "codesign-pids");
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // a late writer would show
  EXPECT_FALSE(exists(preferencesPath(otherHome.path())));
}

// Runs that change profiles follow each other: a "disconnect" or an "update-app-rules" that
// comes while a per-app "connect" is still building its rules waits for it, and the last
// request wins. "status" does not wait.
TEST_F(FakeSystem, TheLastRequestWins) {
  codesign(std::string(kCodesign) + "sleep 1\n");
  const auto later = [](double seconds) {
    return std::vector<std::string>{"/bin/sh", "-c",
                                    "sleep " + std::to_string(seconds) + "; exec \"$0\" \"$@\""};
  };
  const Json request = connectRequest({"/Applications/Mail.app"});
  auto results = runToolsConcurrently({invocation("connect", request),
                                       invocation("disconnect", {}, later(0.3)),
                                       invocation("status", {}, later(0.3))});
  EXPECT_EQ(results[0].standardOutput, status("connecting", 3));
  EXPECT_EQ(results[1].standardOutput,
            R"({"configured":true,"connected":false,"connecting":false,"disconnecting":true,)"
            R"("status":"disconnecting","perAppMode":true,"appRuleCount":3})");
  EXPECT_EQ(results[2].standardOutput, kNotConfigured);
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 5);

  const Json update = {
      {"excludedApps", {"/Applications/Mail.app", "/Applications/Utilities/Terminal.app"}}};
  results = runToolsConcurrently({invocation("connect", connectRequest({"/Applications/Mail.app"})),
                                  invocation("update-app-rules", update, later(0.3))});
  EXPECT_EQ(results[0].exitStatus, 0);
  EXPECT_EQ(results[1].exitStatus, 0) << results[1].standardError;
  ASSERT_EQ(stored()["profiles"].size(), 1u);
  EXPECT_EQ(stored()["profiles"][0]["appRules"],
            Json({rule("Calendar", calendar_), rule("Notes", notes_)}));
}

}  // namespace
}  // namespace kelo::testing
