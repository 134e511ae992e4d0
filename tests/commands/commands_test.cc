// The four commands against the recording platform, one table each: what a command reports
// and which platform requests it made, when every step succeeds and when each step fails.
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "support/recording_platform.h"
#include "support/test_support.h"

namespace kelo::commands {
namespace {

using namespace std::chrono_literals;
namespace recording = testing::recording;
using recording::Protocol;
using Log = std::vector<std::string>;

constexpr NEVPNStatus kUp = NEVPNStatusConnected;
constexpr NEVPNStatus kComingUp = NEVPNStatusConnecting;
constexpr NEVPNStatus kDown = NEVPNStatusDisconnected;

// What a command ended with: its status document, or "error: " and its message.
std::string outcome(const Result<StatusPayload>& result) {
  return result ? result->encoded() : "error: " + failureMessage(result.error());
}

std::string reported(const std::string& word, int rules = 0) {
  return StatusPayload{.configured = true,
                       .connected = word == "connected",
                       .connecting = word == "connecting" || word == "reasserting",
                       .disconnecting = word == "disconnecting",
                       .status = word,
                       .perAppMode = rules > 0,
                       .appRuleCount = rules}
      .encoded();
}

const std::vector<NEAppRule> kOldRules = {NEAppRule("old", "old"), NEAppRule("older", "older")};

struct Case {
  std::string name;
  std::vector<recording::StoredProfile> stored;
  std::vector<std::pair<std::string, std::optional<std::string>>> failures;  // none: silent
  Log requests;
  std::string outcome;
  std::vector<std::string> excludedApps = {};
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
      EXPECT_EQ(recording::log(), each.requests);
    }
  }
  testing::TemporaryDirectory dir_;
};

ConnectPayload connectRequest(std::vector<std::string> excludedApps) {
  return {.privateKey = "k",
          .address = "10.8.0.2/32",
          .dns = "1.1.1.1",
          .peerPublicKey = "p",
          .peerEndpoint = "203.0.113.5:51820",
          .allowedIps = "0.0.0.0/0",
          .mtu = {},
          .keepaliveSeconds = {},
          .excludedApps = std::move(excludedApps)};
}

TEST_F(Commands, Connect) {
  const std::vector<Case> cases = {
      {"a fresh full tunnel",
       {},
       {},
       {"loadAll", "new profile", "save NEW with 0 rules", "reload NEW", "start NEW"},
       reported("disconnected")},
      {"keeps the first profile of the kind and removes the other tool profiles",
       {{.identifier = "PERAPP", .appRules = kOldRules},
        {.identifier = "OTHER", .protocol = Protocol::otherProvider},
        {.identifier = "CASE", .protocol = Protocol::providerInOtherCase},
        {.identifier = "ANON", .protocol = Protocol::noProvider},
        {.identifier = "IKE", .protocol = Protocol::otherKind},
        {.identifier = "BARE", .protocol = Protocol::none},
        {.identifier = "FIRST"},
        {.identifier = "SECOND"}},
       {},
       {"loadAll", "remove PERAPP", "remove SECOND", "save FIRST with 0 rules", "reload FIRST",
        "start FIRST"},
       reported("disconnected")},
      {"a per-app request replaces a full tunnel; rules are built after the removal",
       {{.identifier = "FULL"}},
       {},
       {"loadAll", "new per-app profile", "remove FULL", "save NEW with 1 rules", "reload NEW",
        "start NEW"},
       reported("disconnected", 1),
       {"/nowhere/tool"}},
      {"a tunnel that stays up is stopped until it is down, then started",
       {{.identifier = "ONE", .statuses = {kUp, kComingUp, kDown}}},
       {},
       {"loadAll", "save ONE with 0 rules", "reload ONE", "stop ONE", "stop ONE", "start ONE"},
       reported("disconnected")},
      {"a reasserting tunnel is started at once",
       {{.identifier = "ONE", .statuses = {NEVPNStatusReasserting}}},
       {},
       {"loadAll", "save ONE with 0 rules", "reload ONE", "start ONE"},
       reported("reasserting")},
      {"a plain connection is not started",
       {{.identifier = "ONE", .session = false}},
       {},
       {"loadAll", "save ONE with 0 rules", "reload ONE"},
       reported("disconnected")},
      {"loading fails",
       {},
       {{"loadAll", "denied"}},
       {"loadAll"},
       "error: Failed to load packet tunnel preferences: denied"},
      {"a removal fails",
       {{.identifier = "A"}, {.identifier = "B"}, {.identifier = "C"}},
       {{"remove B", "in use"}},
       {"loadAll", "remove B"},
       "error: Failed to remove stale tunnel preferences: in use"},
      {"rule building fails",
       {{.identifier = "FULL"}},
       {},
       {"loadAll", "new per-app profile", "remove FULL"},
       "error: Application path cannot be empty.",
       {" "}},
      {"the save fails",
       {{.identifier = "ONE"}},
       {{"save ONE", ""}},
       {"loadAll", "save ONE with 0 rules"},
       "error: Failed to save packet tunnel preferences: "},
      {"the reload fails",
       {{.identifier = "ONE"}},
       {{"reload ONE", "gone"}},
       {"loadAll", "save ONE with 0 rules", "reload ONE"},
       "error: Failed to reload packet tunnel preferences: gone"},
      {"the start fails",
       {{.identifier = "ONE"}},
       {{"start ONE", "crashed"}},
       {"loadAll", "save ONE with 0 rules", "reload ONE", "start ONE"},
       "error: Failed to start packet tunnel: crashed"},
      {"the platform never answers",
       {{.identifier = "ONE"}},
       {{"save ONE", std::nullopt}},
       {"loadAll", "save ONE with 0 rules"},
       "error: Timed out waiting for Network Extension manager response."},
  };
  check(cases, [this](const Case& each) {
    return connect(connectRequest(each.excludedApps), context(0.5s));
  });
}

TEST_F(Commands, UpdateAppRules) {
  const auto perApp = [](std::string identifier, std::vector<NEVPNStatus> statuses) {
    return recording::StoredProfile{.identifier = std::move(identifier),
                                    .statuses = std::move(statuses),
                                    .appRules = kOldRules};
  };
  const std::vector<Case> cases = {
      {"restarts the running tunnel of the first per-app profile",
       {{.identifier = "FULL", .statuses = {kUp}},
        perApp("FIRST", {kUp, kDown}),
        perApp("SECOND", {kUp})},
       {},
       {"loadAll", "save FIRST with 1 rules", "reload FIRST", "stop FIRST", "start FIRST"},
       reported("disconnected", 1)},
      {"restarts a tunnel that is coming up",
       {perApp("ONE", {kComingUp, kDown})},
       {},
       {"loadAll", "save ONE with 1 rules", "reload ONE", "stop ONE", "start ONE"},
       reported("disconnected", 1)},
      {"neither stops nor starts a tunnel that is not up",
       {perApp("ONE", {NEVPNStatusDisconnecting})},
       {},
       {"loadAll", "save ONE with 1 rules", "reload ONE"},
       reported("disconnecting", 1)},
      {"no per-app profile",
       {{.identifier = "FULL", .statuses = {kUp}}},
       {},
       {"loadAll"},
       "error: Kelo VPN packet tunnel manager is not configured."},
      {"rule building fails",
       {perApp("ONE", {kUp})},
       {},
       {"loadAll"},
       "error: App-based split tunneling could not derive any included macOS apps from the "
       "current installation set.",
       {dir_ / "Applications/Mail.app"}},
      {"loading fails",
       {},
       {{"loadAll", "denied"}},
       {"loadAll"},
       "error: Failed to load packet tunnel preferences: denied"},
      {"the save fails",
       {perApp("ONE", {kUp})},
       {{"save ONE", "read-only"}},
       {"loadAll", "save ONE with 1 rules"},
       "error: Failed to save packet tunnel preferences: read-only"},
      {"the reload fails",
       {perApp("ONE", {kUp})},
       {{"reload ONE", "gone"}},
       {"loadAll", "save ONE with 1 rules", "reload ONE"},
       "error: Failed to reload packet tunnel preferences: gone"},
      {"the start after the restart fails",
       {perApp("ONE", {kUp, kDown})},
       {{"start ONE", "crashed"}},
       {"loadAll", "save ONE with 1 rules", "reload ONE", "stop ONE", "start ONE"},
       "error: Failed to start packet tunnel: crashed"},
  };
  check(cases, [this](const Case& each) {
    return updateAppRules(AppRulePayload{each.excludedApps}, context());
  });
}

TEST_F(Commands, StatusAndDisconnect) {
  const std::vector<Case> cases = {
      {"no profile of the tool",
       {{.identifier = "IKE", .statuses = {kUp}, .protocol = Protocol::otherKind}},
       {},
       {"loadAll"},
       StatusPayload::notConfigured().encoded()},
      {"the first tool profile",
       {{.identifier = "FIRST", .statuses = {kUp}, .appRules = kOldRules},
        {.identifier = "SECOND", .statuses = {kDown}}},
       {},
       {"loadAll"},
       reported("connected", 2)},
      {"loading fails",
       {},
       {{"loadAll", "denied"}},
       {"loadAll"},
       "error: Failed to load packet tunnel preferences: denied"},
  };
  check(cases, [this](const Case&) { return status(context().deadline); });

  // Every status code, and what disconnect stops: the first tool profile only.
  const std::vector<std::pair<NEVPNStatus, std::string>> words = {
      {0, "invalid"},     {1, "disconnected"},  {2, "connecting"}, {3, "connected"},
      {4, "reasserting"}, {5, "disconnecting"}, {6, "unknown"},    {-1, "unknown"}};
  for (const auto& [code, word] : words) {
    recording::reset({{.identifier = "FIRST", .statuses = {code}}, {.identifier = "SECOND"}});
    EXPECT_EQ(outcome(disconnect(context().deadline)), reported(word)) << code;
    EXPECT_EQ(recording::log(), (Log{"loadAll", "stop FIRST"}));
  }
}

TEST_F(Commands, TheRestartDelayPassesBetweenAStopAndTheNextLook) {
  recording::reset({{.identifier = "ONE", .statuses = {kUp, kUp, kDown}}});
  Context slow = context();
  slow.restartDelay = 100ms;
  const auto began = runloop::Clock::now();
  EXPECT_EQ(outcome(connect(connectRequest({}), slow)), reported("disconnected"));
  EXPECT_GE(runloop::Clock::now() - began, 200ms);
}

}  // namespace
}  // namespace kelo::commands
