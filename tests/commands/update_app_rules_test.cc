// "update-app-rules" against the recording platform, with one signed application in a
// temporary root: which profile it changes, and when it restarts the tunnel.
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "support/recording_platform.h"
#include "support/test_support.h"

namespace kelo::commands {
namespace {

namespace recording = testing::recording;
using Log = std::vector<std::string>;

class UpdateAppRules : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(dir_ / "Applications/Mail.app/Contents/MacOS/Mail", "", 0755);
    testing::writeFile(dir_ / "codesign",
                       "#!/bin/sh\necho Identifier=com.example.mail >&2\n"
                       "echo 'designated => identifier \"com.example.mail\"'\n",
                       0755);
  }
  Result<StatusPayload> run(std::vector<std::string> excludedApps = {}) {
    const apprules::AppRuleSources sources{{dir_ / "Applications"}, dir_ / "codesign"};
    AppRulePayload payload{std::move(excludedApps)};
    return testing::waitFor<StatusPayload>([&](Completion<StatusPayload> completion) {
      updateAppRules(payload, std::move(completion), sources);
    });
  }
  static recording::StoredProfile perApp(std::string identifier,
                                         std::vector<NEVPNStatus> statuses) {
    return {.identifier = std::move(identifier),
            .statuses = std::move(statuses),
            .appRules = {NEAppRule("old", "old"), NEAppRule("older", "older")}};
  }
  testing::TemporaryDirectory dir_;
};

TEST_F(UpdateAppRules, SavesTheFirstPerAppProfileAndRestartsItsRunningTunnel) {
  recording::reset({{.identifier = "FULL", .statuses = {NEVPNStatusConnected}},
                    perApp("FIRST", {NEVPNStatusConnected, NEVPNStatusDisconnected}),
                    perApp("SECOND", {NEVPNStatusConnected})});
  const auto status = run();
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->appRuleCount, 1);
  EXPECT_EQ(recording::log(), (Log{"loadAll", "save FIRST", "reload FIRST", "stop FIRST",
                                   "after 1.0 s", "start FIRST"}));
  EXPECT_EQ(recording::savedRuleCounts(), std::vector<std::size_t>{1});
}

TEST_F(UpdateAppRules, NeitherStopsNorStartsATunnelThatIsNotUp) {
  for (const NEVPNStatus status : {NEVPNStatusDisconnected, NEVPNStatusReasserting,
                                   NEVPNStatusDisconnecting, NEVPNStatusInvalid}) {
    recording::reset({perApp("ONE", {status})});
    EXPECT_TRUE(run().has_value());
    EXPECT_EQ(recording::log(), (Log{"loadAll", "save ONE", "reload ONE"})) << status;
  }
}

TEST_F(UpdateAppRules, ChangesNothingWhenTheRulesCannotBeBuiltOrThereIsNoPerAppProfile) {
  recording::reset({perApp("ONE", {NEVPNStatusConnected})});
  EXPECT_EQ(failureMessage(run({dir_ / "Applications/Mail.app"}).error()),
            "App-based split tunneling could not derive any included macOS apps from the "
            "current installation set.");
  EXPECT_EQ(recording::log(), Log{"loadAll"});

  recording::reset({{.identifier = "FULL", .statuses = {NEVPNStatusConnected}}});
  EXPECT_EQ(failureMessage(run().error()), "Kelo VPN packet tunnel manager is not configured.");
  EXPECT_EQ(recording::log(), Log{"loadAll"});
}

}  // namespace
}  // namespace kelo::commands
