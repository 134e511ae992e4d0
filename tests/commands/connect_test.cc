// "connect" against the recording platform: which profile it keeps, what it removes, and the
// order of its platform requests when a step fails or the tunnel must be restarted.
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "support/recording_platform.h"
#include "support/test_support.h"

namespace kelo::commands {
namespace {

namespace recording = testing::recording;
using Log = std::vector<std::string>;

ConnectPayload request(std::vector<std::string> excludedApps = {}) {
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

NEAppRule rule(const std::string& identifier) {
  return NEAppRule(identifier, "identifier \"" + identifier + "\"");
}

// No application to find: a per-app request fails in rule building, if it gets there.
Result<StatusPayload> runConnect(ConnectPayload payload = request()) {
  return testing::waitFor<StatusPayload>([&payload](Completion<StatusPayload> completion) {
    connect(payload, std::move(completion), apprules::AppRuleSources{{}, "/nonexistent"});
  });
}

TEST(ConnectRequests, KeepTheFirstProfileOfTheKindRemoveTheOtherToolProfilesThenSaveAndStart) {
  recording::reset({{.identifier = "PERAPP", .appRules = {rule("a")}},
                    {.identifier = "OTHER", .toolProfile = false},
                    {.identifier = "FIRST"},
                    {.identifier = "SECOND"}});
  ASSERT_TRUE(runConnect().has_value());
  EXPECT_EQ(recording::log(), (Log{"loadAll", "remove PERAPP", "remove SECOND", "save FIRST",
                                   "reload FIRST", "start FIRST"}));
  EXPECT_EQ(recording::savedRuleCounts(), std::vector<std::size_t>{0});
}

TEST(ConnectRequests, CreateAPerAppProfileWhenNoneIsStored) {
  recording::reset({{.identifier = "FULL"}});
  EXPECT_EQ(failureMessage(runConnect(request({"/Applications/Browser.app"})).error()),
            "No executable found in /Applications/Browser.app.");
  // Rules are built only after the stale profile is gone; a failure there saves nothing.
  EXPECT_EQ(recording::log(), (Log{"loadAll", "new per-app profile", "remove FULL"}));
}

TEST(ConnectRequests, StopAtTheFirstFailedRemoval) {
  recording::reset({{.identifier = "A"}, {.identifier = "B"}, {.identifier = "C"}});
  recording::fail("remove B", "in use");
  EXPECT_EQ(failureMessage(runConnect().error()),
            "Failed to remove stale tunnel preferences: in use");
  EXPECT_EQ(recording::log(), (Log{"loadAll", "remove B"}));
}

TEST(ConnectRequests, StopAndRestartATunnelThatIsUpForAsLongAsItStaysUp) {
  recording::reset(
      {{.identifier = "ONE",
        .statuses = {NEVPNStatusConnected, NEVPNStatusConnecting, NEVPNStatusDisconnected}}});
  ASSERT_TRUE(runConnect().has_value());
  EXPECT_EQ(recording::log(), (Log{"loadAll", "save ONE", "reload ONE", "stop ONE", "after 1.0 s",
                                   "stop ONE", "after 1.0 s", "start ONE"}));
}

TEST(ConnectRequests, StopAtAFailedSaveOrReload) {
  for (const std::string step : {"save", "reload"}) {
    recording::reset({{.identifier = "ONE"}});
    recording::fail(step, "refused");
    EXPECT_EQ(failureMessage(runConnect().error()),
              "Failed to " + step + " packet tunnel preferences: refused");
    Log expected = {"loadAll", "save ONE"};
    if (step == "reload") {
      expected.push_back("reload ONE");
    }
    EXPECT_EQ(recording::log(), expected);
  }
}

}  // namespace
}  // namespace kelo::commands
