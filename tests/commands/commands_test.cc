// The commands against the recording platform, one table each: what a command reports
// and which platform requests it made, when every step succeeds and when each step fails.
#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "commands/commands.h"
#include "support/recording_platform.h"
#include "support/test_support.h"

namespace kelo::commands {
namespace {

using namespace std::chrono_literals;
namespace recording = testing::recording;
using recording::Protocol;

constexpr NEVPNStatus kUp = NEVPNStatusConnected;
constexpr NEVPNStatus kComingUp = NEVPNStatusConnecting;
constexpr NEVPNStatus kDown = NEVPNStatusDisconnected;
const std::vector<NEAppRule> kOldRules = {NEAppRule("old", "old"), NEAppRule("older", "older")};

// What a command ended with: its status document, or "error: " and its message.
std::string outcome(const Result<StatusPayload>& result) {
  return result ? result->encoded() : "error: " + failureMessage(result.error());
}

std::string reported(const std::string& word, int rules = 0) {
  const bool up = word == "connected", comingUp = word == "connecting" || word == "reasserting";
  return StatusPayload{true, up, comingUp, word == "disconnecting", word, rules > 0, rules}
      .encoded();
}

struct Case {
  std::string name;
  std::vector<recording::StoredProfile> stored;
  std::string requests;  // the requests made, joined with ", "
  std::string outcome;
  std::map<std::string, std::optional<std::string>> failures = {};  // none: never completes
  std::vector<std::string> excludedApps = {};
  bool onDemand = false;  // the connect request names one on-demand rule
};

// One signed application, Mail, in a temporary root, and a code-signing program for it.
class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(dir_ / "Applications/Mail.app/Contents/MacOS/Mail", "", 0755);
    testing::writeFile(dir_ / "codesign",
                       "#!/bin/sh\necho Identifier=com.example.mail >&2\n"
                       "echo 'designated => identifier \"com.example.mail\"'\n",
                       0755);
  }
  Context context(std::chrono::duration<double> limit = 10s) const {
    return {runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(limit),
            5ms,
            {{dir_ / "Applications"}, dir_ / "codesign"}};
  }
  template <class Run>
  void check(const std::vector<Case>& cases, Run run) {
    for (const auto& each : cases) {
      SCOPED_TRACE(each.name);
      recording::reset(each.stored);
      for (const auto& [request, description] : each.failures) {
        recording::fail(request, description);
      }
      EXPECT_EQ(outcome(run(each)), each.outcome);
      EXPECT_EQ(recording::requests(), each.requests);
    }
  }
  testing::TemporaryDirectory dir_;
};

ConnectPayload connectRequest(std::vector<std::string> excludedApps, bool onDemand) {
  return {.privateKey = "k",
          .address = "10.8.0.2/32",
          .dns = "1.1.1.1",
          .peerPublicKey = "p",
          .peerEndpoint = "203.0.113.5:51820",
          .allowedIps = "0.0.0.0/0",
          .mtu = {},
          .keepaliveSeconds = {},
          .excludedApps = std::move(excludedApps),
          .onDemandRules = onDemand ? std::vector{NEOnDemandRule{}} : std::vector<NEOnDemandRule>{},
          .networkPolicy = {}};
}

recording::StoredProfile perApp(std::string identifier, std::vector<NEVPNStatus> statuses,
                                bool onDemand = false) {
  return {.identifier = std::move(identifier),
          .statuses = std::move(statuses),
          .appRules = kOldRules,
          .onDemand = onDemand};
}

// One case a row or two, in the order of the fields of Case.
// clang-format off
TEST_F(Commands, Connect) {
  const std::string saved = "loadAll, save ONE with 0 rules, reload ONE";
  const std::string paused = "loadAll, save ONE with 0 rules, 1 on-demand rules, reload ONE";
  const std::string switchOn = "save ONE with 0 rules, 1 on-demand rules, on demand";
  const std::vector<Case> cases = {
      {"a fresh full tunnel", {},
       "loadAll, new profile, save NEW with 0 rules, reload NEW, start NEW", reported("disconnected")},
      {"keeps the first profile of the kind and removes the other tool profiles",
       {{.identifier = "PERAPP", .appRules = kOldRules},
        {.identifier = "OTHER", .protocol = Protocol::otherProvider},
        {.identifier = "CASE", .protocol = Protocol::providerInOtherCase},
        {.identifier = "ANON", .protocol = Protocol::noProvider},
        {.identifier = "IKE", .protocol = Protocol::otherKind},
        {.identifier = "BARE", .protocol = Protocol::none}, {.identifier = "FIRST"}, {.identifier = "SECOND"}},
       "loadAll, remove PERAPP, remove SECOND, save FIRST with 0 rules, reload FIRST, start FIRST",
       reported("disconnected")},
      {"a per-app request replaces a full tunnel; rules are built after the removal", {{.identifier = "FULL"}},
       "loadAll, new per-app profile, remove FULL, save NEW with 1 rules, reload NEW, start NEW",
       reported("disconnected", 1), {}, {"/nowhere/tool"}},
      {"a tunnel that stays up is stopped until it is down, then started",
       {{.identifier = "ONE", .statuses = {kUp, kComingUp, kDown}}}, saved + ", stop ONE, stop ONE, start ONE",
       reported("disconnected")},
      {"a reasserting tunnel is started at once", {{.identifier = "ONE", .statuses = {NEVPNStatusReasserting}}},
       saved + ", start ONE", reported("reasserting")},
      {"a plain connection is not started", {{.identifier = "ONE", .session = false}}, saved,
       reported("disconnected")},
      {"loading fails", {}, "loadAll", "error: Failed to load packet tunnel preferences: denied",
       {{"loadAll", "denied"}}},
      {"a removal fails", {{.identifier = "A"}, {.identifier = "B"}, {.identifier = "C"}}, "loadAll, remove B",
       "error: Failed to remove stale tunnel preferences: in use", {{"remove B", "in use"}}},
      {"rule building fails", {{.identifier = "FULL"}}, "loadAll, new per-app profile, remove FULL",
       "error: Application path cannot be empty.", {}, {" "}},
      {"the save fails", {{.identifier = "ONE"}}, "loadAll, save ONE with 0 rules",
       "error: Failed to save packet tunnel preferences: ", {{"save ONE", ""}}},
      {"the reload fails", {{.identifier = "ONE"}}, saved, "error: Failed to reload packet tunnel preferences: gone",
       {{"reload ONE", "gone"}}},
      {"the start fails", {{.identifier = "ONE"}}, saved + ", start ONE",
       "error: Failed to start packet tunnel: crashed", {{"start ONE", "crashed"}}},
      {"the platform never answers", {{.identifier = "ONE"}}, "loadAll, save ONE with 0 rules",
       "error: Timed out waiting for Network Extension manager response.", {{"save ONE", std::nullopt}}},
      {"on-demand is switched on once the restart has started the tunnel",
       {{.identifier = "ONE", .statuses = {kUp, kDown}, .onDemand = true}},
       paused + ", stop ONE, start ONE, " + switchOn + ", reload ONE", reported("disconnected"), {}, {}, true},
      {"a request without on-demand rules leaves none", {{.identifier = "ONE", .onDemand = true}},
       saved + ", start ONE", reported("disconnected")},
      {"a start that fails switches on-demand on all the same", {{.identifier = "ONE"}},
       paused + ", start ONE, " + switchOn + ", reload ONE", "error: Failed to start packet tunnel: crashed",
       {{"start ONE", "crashed"}}, {}, true},
      {"the save that switches on-demand on fails", {{.identifier = "ONE"}}, paused + ", start ONE, " + switchOn,
       "error: Failed to save packet tunnel preferences: read-only", {{switchOn, "read-only"}}, {}, true},
  };
  check(cases, [this](const Case& each) {
    return connect(connectRequest(each.excludedApps, each.onDemand), context(0.5s));
  });
}

// Asked to, "connect" removes the other profiles only once the chosen one is saved: a failure
// before that (rules that cannot be built, a refused save) removes nothing, and a removal that
// fails after it leaves both, answering the removal's failure.
TEST_F(Commands, ConnectRemovingStaleProfilesAfterTheSave) {
  const std::string perApp = "loadAll, new per-app profile, save NEW with 1 rules, reload NEW";
  const std::vector<Case> cases = {
      {"the full tunnel goes once the per-app profile is saved", {{.identifier = "FULL"}},
       perApp + ", remove FULL, start NEW", reported("disconnected", 1), {}, {"/nowhere/tool"}},
      {"rules that cannot be built remove nothing", {{.identifier = "FULL"}}, "loadAll, new per-app profile",
       "error: Application path cannot be empty.", {}, {" "}},
      {"a refused save removes nothing", {{.identifier = "PERAPP", .appRules = kOldRules}},
       "loadAll, new profile, save NEW with 0 rules", "error: Failed to save packet tunnel preferences: declined",
       {{"save NEW", "declined"}}},
      {"a removal that fails leaves both", {{.identifier = "FULL"}}, perApp + ", remove FULL",
       "error: Failed to remove stale tunnel preferences: in use", {{"remove FULL", "in use"}}, {"/nowhere/tool"}},
  };
  check(cases, [this](const Case& each) {
    ConnectPayload request = connectRequest(each.excludedApps, each.onDemand);
    request.staleProfiles = StaleProfiles::removeAfterSave;
    return connect(request, context(0.5s));
  });
}

// A Mac drops a start asked for while the tunnel is still going down, without a word: a start
// that finds it disconnecting is asked for once more when it reads disconnected, and not when it
// comes up; a run with too little time left answers what it reads.
TEST_F(Commands, AStartDroppedWhileDisconnectingIsAskedForAgain) {
  constexpr NEVPNStatus kGoingDown = NEVPNStatusDisconnecting;
  const std::string saved = "loadAll, save ONE with 0 rules, reload ONE";
  const std::vector<Case> cases = {
      {"asked for again once down", {{.identifier = "ONE", .statuses = {kGoingDown, kGoingDown, kGoingDown, kDown, kComingUp}}},
       saved + ", start ONE, start ONE", reported("connecting")},
      {"taken: it comes up", {{.identifier = "ONE", .statuses = {kGoingDown, kGoingDown, kComingUp}}},
       saved + ", start ONE", reported("connecting")},
      {"a restart whose stop takes longer than the delay",
       {{.identifier = "ONE", .statuses = {kUp, kGoingDown, kGoingDown, kDown, kComingUp}}},
       saved + ", stop ONE, start ONE, start ONE", reported("connecting")},
      {"still going down when the watch must end", {{.identifier = "ONE", .statuses = {kGoingDown}}},
       saved + ", start ONE", reported("disconnecting")},
  };
  check(cases, [this](const Case&) { return connect(connectRequest({}, false), context(1.5s)); });
}

TEST_F(Commands, UpdateAppRules) {
  const std::string saved = "loadAll, save ONE with 1 rules, reload ONE";
  const std::string paused = "loadAll, save ONE with 1 rules, 1 on-demand rules, reload ONE";
  const std::string switchOn = "save ONE with 1 rules, 1 on-demand rules, on demand";
  const std::vector<Case> cases = {
      {"restarts the running tunnel of the first per-app profile",
       {{.identifier = "FULL", .statuses = {kUp}}, perApp("FIRST", {kUp, kDown}), perApp("SECOND", {kUp})},
       "loadAll, save FIRST with 1 rules, reload FIRST, stop FIRST, start FIRST", reported("disconnected", 1)},
      {"restarts a tunnel that is coming up", {perApp("ONE", {kComingUp, kDown})}, saved + ", stop ONE, start ONE",
       reported("disconnected", 1)},
      {"neither stops nor starts a tunnel that is not up", {perApp("ONE", {NEVPNStatusDisconnecting})}, saved,
       reported("disconnecting", 1)},
      {"no per-app profile", {{.identifier = "FULL", .statuses = {kUp}}}, "loadAll",
       "error: Kelo VPN packet tunnel manager is not configured."},
      {"rule building fails", {perApp("ONE", {kUp})}, "loadAll",
       "error: App-based split tunneling could not derive any included macOS apps from the current installation set.",
       {}, {dir_ / "Applications/Mail.app"}},
      {"loading fails", {}, "loadAll", "error: Failed to load packet tunnel preferences: denied",
       {{"loadAll", "denied"}}},
      {"the save fails", {perApp("ONE", {kUp})}, "loadAll, save ONE with 1 rules",
       "error: Failed to save packet tunnel preferences: read-only", {{"save ONE", "read-only"}}},
      {"the reload fails", {perApp("ONE", {kUp})}, saved, "error: Failed to reload packet tunnel preferences: gone",
       {{"reload ONE", "gone"}}},
      {"the start after the restart fails", {perApp("ONE", {kUp, kDown})}, saved + ", stop ONE, start ONE",
       "error: Failed to start packet tunnel: crashed", {{"start ONE", "crashed"}}},
      {"a tunnel kept up on demand restarts with on-demand off", {perApp("ONE", {kUp, kUp, kDown}, true)},
       paused + ", stop ONE, start ONE, " + switchOn + ", reload ONE", reported("disconnected", 1)},
      {"on-demand of a tunnel that is not up stays as it is", {perApp("ONE", {kDown}, true)},
       "loadAll, " + switchOn + ", reload ONE", reported("disconnected", 1)},
      {"the save that switches on-demand on again fails", {perApp("ONE", {kUp, kUp, kDown}, true)},
       paused + ", stop ONE, start ONE, " + switchOn, "error: Failed to save packet tunnel preferences: ",
       {{switchOn, ""}}},
      {"a failed start switches on-demand on again, and says when it cannot", {perApp("ONE", {kUp, kUp, kDown}, true)},
       paused + ", stop ONE, start ONE, " + switchOn,
       "error: Failed to start packet tunnel: crashed The on-demand connection could not be switched back on: "
       "Failed to save packet tunnel preferences: read-only",
       {{"start ONE", "crashed"}, {switchOn, "read-only"}}},
  };
  check(cases, [this](const Case& each) { return updateAppRules(AppRulePayload{each.excludedApps}, context()); });
}

// The repair's own failure travels with the failure it could not mend.
TEST_F(Commands, AFailedRepairIsKeptWithTheFailure) {
  recording::reset({perApp("ONE", {kUp, kUp, kDown}, true)});
  recording::fail("start ONE", "crashed");
  recording::fail("save ONE with 1 rules, 1 on-demand rules, on demand", "read-only");
  const auto updated = updateAppRules(AppRulePayload{}, context());
  ASSERT_FALSE(updated);
  EXPECT_EQ(std::get<ManagerError>(updated.error()).repair,
            (RepairFailure{"Failed to save packet tunnel preferences: read-only", Step::save}));
}

TEST_F(Commands, StatusAndDisconnect) {
  const std::vector<Case> cases = {
      {"no profile of the tool", {{.identifier = "IKE", .statuses = {kUp}, .protocol = Protocol::otherKind}},
       "loadAll", StatusPayload::notConfigured().encoded()},
      {"the first tool profile",
       {{.identifier = "FIRST", .statuses = {kUp}, .appRules = kOldRules}, {.identifier = "SECOND", .statuses = {kDown}}},
       "loadAll", reported("connected", 2)},
      {"loading fails", {}, "loadAll", "error: Failed to load packet tunnel preferences: denied",
       {{"loadAll", "denied"}}},
  };
  check(cases, [this](const Case&) { return status(context().deadline, kelo::Protocol::one); });

  const std::string switchOff = "save ONE with 0 rules, 1 on-demand rules";
  const std::vector<Case> disconnecting = {
      {"stops the first tool profile only", {{.identifier = "ONE", .statuses = {kUp}}, {.identifier = "TWO"}},
       "loadAll, stop ONE", reported("connected")},
      {"switches on-demand off before the stop", {{.identifier = "ONE", .statuses = {kUp}, .onDemand = true}},
       "loadAll, " + switchOff + ", reload ONE, stop ONE", reported("connected")},
      {"the save fails and nothing is stopped", {{.identifier = "ONE", .statuses = {kUp}, .onDemand = true}},
       "loadAll, " + switchOff, "error: Failed to save packet tunnel preferences: full", {{"save ONE", "full"}}},
  };
  check(disconnecting, [this](const Case&) { return disconnect(context().deadline, kelo::Protocol::one); });
  // clang-format on

  // Every status code.
  const std::vector<std::pair<NEVPNStatus, std::string>> words = {
      {0, "invalid"},     {1, "disconnected"},  {2, "connecting"}, {3, "connected"},
      {4, "reasserting"}, {5, "disconnecting"}, {6, "unknown"},    {-1, "unknown"}};
  for (const auto& [code, word] : words) {
    recording::reset({{.identifier = "ONE", .statuses = {code}}});
    EXPECT_EQ(outcome(disconnect(context().deadline, kelo::Protocol::one)), reported(word)) << code;
  }
}

// What protocol 2 adds to a status, as the platform tells it: the connected date only while the
// status reads connected (a Mac keeps it while the tunnel reasserts or goes down), and the last
// disconnect error as unknown when the platform does not tell it within 2 seconds.
TEST_F(Commands, Protocol2TellsTheConnectedDateWhileConnectedAndWaitsNotLongForTheLastError) {
  for (const NEVPNStatus code : {kUp, NEVPNStatusReasserting, NEVPNStatusDisconnecting, kDown}) {
    recording::reset({{.identifier = "ONE", .statuses = {code}, .connectedDate = 1764950400.25}});
    const auto answered = status(context().deadline, kelo::Protocol::two);
    ASSERT_TRUE(answered) << code;
    EXPECT_EQ(answered->connectedSince, code == kUp ? std::optional(1764950400.25) : std::nullopt)
        << code;
  }

  recording::reset({{.identifier = "ONE", .statuses = {kUp}}});
  recording::fail("lastDisconnectError ONE", std::nullopt);
  const auto began = runloop::Clock::now();
  const auto answered = status(context(14s).deadline, kelo::Protocol::two);
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->lastDisconnectError, std::nullopt);
  // Generous, on a busy machine: without its own bound, the question would last to the deadline.
  EXPECT_LT(runloop::Clock::now() - began, 8s);
  EXPECT_GE(runloop::Clock::now() - began, 2s);
}

// A wait loads once and then only listens: a status change reads the status again, and only a
// configuration change loads the profiles again. Its time running out answers the status as it
// is then, loaded once more; neither is a failure.
TEST_F(Commands, WaitListensInsteadOfAsking) {
  const auto waitFor = [this](std::vector<NEVPNStatus> until, double seconds = 5) {
    return wait({.until = std::move(until), .timeoutSeconds = seconds}, context().deadline,
                kelo::Protocol::one);
  };
  const std::string watching = "observe configuration, loadAll, observe ONE";
  // clang-format off
  const std::vector<Case> atOnce = {
      {"already there", {{.identifier = "ONE", .statuses = {kUp}}}, watching, reported("connected")},
      {"no profile reads invalid", {}, "observe configuration, loadAll",
       StatusPayload::notConfigured().encoded()},
      {"loading fails", {}, "observe configuration, loadAll",
       "error: Failed to load packet tunnel preferences: denied", {{"loadAll", "denied"}}},
  };
  // clang-format on
  check(atOnce, [&](const Case&) { return waitFor({kUp, NEVPNStatusInvalid}); });

  const auto later = [](void (*post)()) {
    return std::thread([post] {
      std::this_thread::sleep_for(50ms);
      post();
    });
  };
  recording::reset({{.identifier = "ONE", .statuses = {kComingUp, kUp}}});
  std::thread notifier = later(recording::postStatusDidChange);
  EXPECT_EQ(outcome(waitFor({kUp})), reported("connected"));
  notifier.join();
  EXPECT_EQ(recording::requests(), watching);

  recording::reset({{.identifier = "ONE", .statuses = {kComingUp}}});
  notifier = later(recording::postConfigurationChange);
  const auto began = runloop::Clock::now();
  EXPECT_EQ(outcome(waitFor({kUp}, 0.3)), reported("connecting"));
  EXPECT_GE(runloop::Clock::now() - began, 300ms);
  notifier.join();
  // Loaded again on the change, and once more when the time is up.
  EXPECT_EQ(recording::requests(), watching + ", loadAll, observe ONE, loadAll, observe ONE");

  // A change told while a load is under way is loaded at once, not missed until the time is up.
  recording::reset({{.identifier = "ONE", .statuses = {kComingUp}}});
  recording::changeDuringNextLoad({{.identifier = "ONE", .statuses = {kUp}}});
  const auto changing = runloop::Clock::now();
  EXPECT_EQ(outcome(waitFor({kUp}, 5)), reported("connected"));
  EXPECT_LT(runloop::Clock::now() - changing, 2s);

  // A platform that never answers holds the wait half a second past its time, not to the
  // run's deadline (10 seconds here).
  recording::reset({{.identifier = "ONE", .statuses = {kComingUp}}});
  recording::fail("loadAll", std::nullopt);
  const auto silent = runloop::Clock::now();
  EXPECT_EQ(outcome(waitFor({kUp}, 0.3)),
            "error: Timed out waiting for Network Extension manager response.");
  EXPECT_LT(runloop::Clock::now() - silent, 5s);
}

}  // namespace
}  // namespace kelo::commands
