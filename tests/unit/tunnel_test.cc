// The profile store, start, stop and status, run against the simulated platform in a private
// home directory, and `start` against connections that record what was asked of them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "kelo_desktop_ne_manager.h"
#include "support/test_support.h"

namespace kelo {
namespace {

using testing::Json;
using testing::toolProfile;
using namespace std::chrono_literals;

class SimulatedPlatform : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HOME", home_.path().c_str(), 1); }

  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    testing::seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
  }
  Json stored() const { return testing::readPreferences(home_.path()); }

  static Result<std::vector<ManagerPointer>> loadAll() {
    return testing::waitFor<std::vector<ManagerPointer>>(&KeloDesktopNEManager::loadAllManagers);
  }

  testing::TemporaryDirectory home_;
};

std::vector<std::string> identifiers(const std::vector<ManagerPointer>& managers) {
  std::vector<std::string> ids;
  for (const auto& manager : managers) {
    ids.push_back(manager->identifier());
  }
  return ids;
}

std::string message(const Error& error) {
  return failureMessage(error);
}

TEST_F(SimulatedPlatform, LoadsOnlyToolProfilesInPlatformOrder) {
  Json otherProvider = toolProfile("OTHER", 1);
  otherProvider["protocol"]["providerBundleIdentifier"] = "com.example.vpn";
  Json caseDiffers = toolProfile("CASE", 1);
  caseDiffers["protocol"]["providerBundleIdentifier"] = "com.kelo.vpn.desktop.packetTunnel";
  Json ikev2 = toolProfile("IKE", 1);
  ikev2["protocol"] = {{"type", "ikev2"}, {"providerBundleIdentifier", kProviderBundleIdentifier}};
  Json noProtocol = toolProfile("BARE", 1);
  noProtocol.erase("protocol");
  Json noIdentifier = toolProfile("ANON", 1);
  noIdentifier["protocol"].erase("providerBundleIdentifier");
  seed({toolProfile("B", 3), otherProvider, caseDiffers, ikev2, noProtocol, noIdentifier,
        toolProfile("A", 1)});

  const auto loaded = loadAll();
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(identifiers(*loaded), (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(testing::profileIdentifiers(stored()).size(), 7u);
}

TEST_F(SimulatedPlatform, SaveKeepsTheConnectionAndOtherMembersOfTheFile) {
  Json profile = toolProfile("ONE", 0);
  testing::seedPreferences(home_.path(), {{"version", 7},
                                          {"profiles", {toolProfile("OTHER", 4), profile}},
                                          {"faults", {{"start", "kept"}}}});
  auto manager = loadAll().value().back();
  manager->appRules = std::vector<NEAppRule>{};
  const auto saved =
      testing::waitFor<ManagerPointer>([&manager](Completion<ManagerPointer> completion) {
        KeloDesktopNEManager::save(manager, std::move(completion));
      });
  ASSERT_TRUE(saved.has_value());
  EXPECT_EQ(*saved, manager);
  const Json document = stored();
  EXPECT_EQ(document["version"], 7);
  EXPECT_EQ(document["faults"], (Json{{"start", "kept"}}));
  EXPECT_EQ(document["profiles"][0], toolProfile("OTHER", 4));
  EXPECT_EQ(document["profiles"][1]["connection"],
            (Json{{"type", "tunnelProviderSession"}, {"status", 1}}));
  EXPECT_EQ(document["profiles"][1]["appRules"], Json::array());
}

using Status = Result<StatusPayload>;

Status runStatus() {
  return testing::waitFor<StatusPayload>(&KeloDesktopNEManager::status);
}
Status runDisconnect() {
  return testing::waitFor<StatusPayload>(&KeloDesktopNEManager::disconnect);
}

TEST_F(SimulatedPlatform, StatusReportsTheFirstToolProfileInEveryState) {
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

TEST_F(SimulatedPlatform, StatusSettlesAfterHalfASecond) {
  Json connecting = toolProfile("ONE", 2);
  connecting["connection"]["since"] = 1000.0;  // long ago
  seed({connecting});
  EXPECT_EQ(runStatus()->status, "connected");
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 2);  // reading never writes
}

TEST_F(SimulatedPlatform, StatusAndDisconnectWithoutToolProfileReportNotConfigured) {
  Json ikev2 = toolProfile("IKE", 3);
  ikev2["protocol"] = {{"type", "ikev2"}};
  seed({ikev2});
  EXPECT_EQ(runStatus().value(), StatusPayload::notConfigured());
  EXPECT_EQ(runDisconnect().value(), StatusPayload::notConfigured());
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 3);
}

TEST_F(SimulatedPlatform, DisconnectStopsOnlyTheFirstToolProfile) {
  seed({toolProfile("FIRST", 3), toolProfile("SECOND", 3)});
  const auto status = runDisconnect();
  EXPECT_EQ(status->status, "disconnecting");
  const Json document = stored();
  EXPECT_EQ(document["profiles"][0]["connection"]["status"], 5);
  EXPECT_TRUE(document["profiles"][0]["connection"].contains("since"));
  EXPECT_EQ(document["profiles"][1]["connection"]["status"], 3);
}

TEST_F(SimulatedPlatform, DisconnectLeavesAnIgnoredStopAndIdleTunnelsAsTheyAre) {
  seed({toolProfile("ONE", 3)}, {{"stopIgnored", true}});
  EXPECT_EQ(runDisconnect()->status, "connected");
  seed({toolProfile("ONE", 1)});
  EXPECT_EQ(runDisconnect()->status, "disconnected");
  EXPECT_FALSE(stored()["profiles"][0]["connection"].contains("since"));
}

// A connection that records what was asked of it, for `start` without a platform.
class RecordingSession : public NETunnelProviderSession {
 public:
  explicit RecordingSession(std::vector<NEVPNStatus> statuses) : statuses_(std::move(statuses)) {}

  NEVPNStatus status() const override {
    std::lock_guard lock(mutex_);
    return statuses_[std::min(reads_++, statuses_.size() - 1)];
  }
  void stopVPNTunnel() override {
    std::lock_guard lock(mutex_);
    stopTimes.push_back(std::chrono::steady_clock::now());
  }
  std::expected<void, PlatformError> startVPNTunnel() override {
    std::lock_guard lock(mutex_);
    ++starts;
    if (startFailure) {
      return std::unexpected(*startFailure);
    }
    return {};
  }

  mutable std::mutex mutex_;
  std::vector<NEVPNStatus> statuses_;
  mutable std::size_t reads_ = 0;
  std::vector<std::chrono::steady_clock::time_point> stopTimes;
  int starts = 0;
  std::optional<PlatformError> startFailure;
};

class PlainConnection : public NEVPNConnection {
 public:
  NEVPNStatus status() const override { return NEVPNStatusDisconnected; }
  void stopVPNTunnel() override {}
};

Status startWith(std::shared_ptr<NEVPNConnection> connection) {
  auto manager = std::make_shared<NETunnelProviderManager>("ID", false, std::move(connection));
  return testing::waitFor<StatusPayload>([manager](Completion<StatusPayload> completion) {
    KeloDesktopNEManager::start(manager, std::move(completion));
  });
}

TEST(Start, StopsARunningTunnelAndStartsItAfterTheRestartDelay) {
  for (const NEVPNStatus running : {NEVPNStatusConnected, NEVPNStatusConnecting}) {
    // Still up at the first look after the delay: a second stop and a second delay.
    auto session = std::make_shared<RecordingSession>(
        std::vector<NEVPNStatus>{running, running, NEVPNStatusDisconnected});
    const auto began = std::chrono::steady_clock::now();
    const auto status = startWith(session);
    const auto ended = std::chrono::steady_clock::now();
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(session->stopTimes.size(), 2u);
    EXPECT_EQ(session->starts, 1);
    EXPECT_GE(ended - began, 2s);
    EXPECT_GE(session->stopTimes[1] - session->stopTimes[0], 1s);
  }
}

TEST(Start, StartsAtOnceWhenTheTunnelIsNotUp) {
  for (const NEVPNStatus idle :
       {NEVPNStatusInvalid, NEVPNStatusDisconnected, NEVPNStatusReasserting,
        NEVPNStatusDisconnecting, NEVPNStatus{42}}) {
    auto session = std::make_shared<RecordingSession>(std::vector<NEVPNStatus>{idle});
    const auto status = startWith(session);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(session->stopTimes.empty());
    EXPECT_EQ(session->starts, 1);
  }
}

TEST(Start, StartsNothingOnAPlainConnection) {
  const auto status = startWith(std::make_shared<PlainConnection>());
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->status, "disconnected");
  EXPECT_TRUE(status->configured);
}

TEST(Start, ReportsAStartFailureWithItsPrefix) {
  auto session =
      std::make_shared<RecordingSession>(std::vector<NEVPNStatus>{NEVPNStatusDisconnected});
  session->startFailure =
      PlatformError{"NEVPNErrorDomain", "The VPN configuration is not enabled."};
  EXPECT_EQ(message(startWith(session).error()),
            "Failed to start packet tunnel: The VPN configuration is not enabled.");
}

}  // namespace
}  // namespace kelo
