// `start` against connections that record what was asked of them: the stop-and-restart cycle,
// what is started on which connection, and the start failure's prefix.
#include "tunnel/tunnel_control.h"

#include <gtest/gtest.h>

#include <mutex>

#include "support/test_support.h"

namespace kelo::tunnel {
namespace {

using namespace std::chrono_literals;
using Status = Result<StatusPayload>;

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
  return testing::waitFor<StatusPayload>(
      [manager](Completion<StatusPayload> completion) { start(manager, std::move(completion)); });
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
  EXPECT_EQ(failureMessage(startWith(session).error()),
            "Failed to start packet tunnel: The VPN configuration is not enabled.");
}

}  // namespace
}  // namespace kelo::tunnel
