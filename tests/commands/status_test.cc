// "status" and "disconnect" against the simulated platform: which profile they report and
// stop, in every connection state, and the not-configured answer.
#include <gtest/gtest.h>

#include "commands/commands.h"
#include "support/test_support.h"

namespace kelo::commands {
namespace {

using testing::Json;
using testing::toolProfile;

using StatusAndDisconnect = testing::SimulatedHome;
using Status = Result<StatusPayload>;

Status runStatus() {
  return testing::waitFor<StatusPayload>(&status);
}
Status runDisconnect() {
  return testing::waitFor<StatusPayload>(&disconnect);
}

TEST_F(StatusAndDisconnect, StatusReportsTheFirstToolProfileInEveryState) {
  const std::vector<std::pair<std::int64_t, std::string>> words = {
      {0, "invalid"},     {1, "disconnected"},  {2, "connecting"}, {3, "connected"},
      {4, "reasserting"}, {5, "disconnecting"}, {6, "unknown"},    {-1, "unknown"}};
  for (const auto& [code, word] : words) {
    seed({toolProfile("FIRST", code, Json{testing::appRule("a"), testing::appRule("b")}),
          toolProfile("SECOND", 3)});
    const auto status = runStatus();
    ASSERT_TRUE(status.has_value()) << word;
    EXPECT_EQ(*status,
              (StatusPayload{true, code == 3, code == 2 || code == 4, code == 5, word, true, 2}))
        << word;
  }
}

TEST_F(StatusAndDisconnect, ReportNotConfiguredWithoutAToolProfile) {
  Json ikev2 = toolProfile("IKE", 3);
  ikev2["protocol"] = {{"type", "ikev2"}};
  seed({ikev2});
  EXPECT_EQ(runStatus().value(), StatusPayload::notConfigured());
  EXPECT_EQ(runDisconnect().value(), StatusPayload::notConfigured());
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 3);
}

TEST_F(StatusAndDisconnect, DisconnectStopsOnlyTheFirstToolProfile) {
  seed({toolProfile("FIRST", 3), toolProfile("SECOND", 3)});
  const auto status = runDisconnect();
  EXPECT_EQ(status->status, "disconnecting");
  const Json document = stored();
  EXPECT_EQ(document["profiles"][0]["connection"]["status"], 5);
  EXPECT_TRUE(document["profiles"][0]["connection"].contains("since"));
  EXPECT_EQ(document["profiles"][1]["connection"]["status"], 3);
}

}  // namespace
}  // namespace kelo::commands
