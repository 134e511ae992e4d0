// The simulated NetworkExtension through its interface: what a save keeps of the file, how a
// status settles, and stops that change nothing. (Each test runs in a process of its own, so
// the HOME it sets touches no other test.)
#include "platform/network_extension.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"
#include "tunnel/bounded_wait.h"

namespace kelo {
namespace {

using testing::Json;
using testing::toolProfile;
using Pointer = NETunnelProviderManager::Pointer;

class SimulatedNetworkExtension : public ::testing::Test {
 protected:
  void SetUp() override { setenv("HOME", home_.path().c_str(), 1); }
  // Seeds the file, then loads every profile as the tool loads them.
  std::vector<Pointer> loadAll(const Json& document) {
    testing::seedPreferences(home_.path(), document);
    return wait<std::expected<std::vector<Pointer>, PlatformError>>(
               &NETunnelProviderManager::loadAllFromPreferences)
        .value();
  }
  template <class Value>
  static Value wait(const tunnel::Request<Value>& request) {
    return tunnel::awaitResult<Value>(runloop::Clock::now() + std::chrono::seconds(10), request)
        .value();
  }
  Json connection(std::size_t profile) const {
    return testing::readPreferences(home_.path())["profiles"][profile]["connection"];
  }
  testing::TemporaryDirectory home_;
};

TEST_F(SimulatedNetworkExtension, SaveKeepsTheConnectionAndOtherMembersOfTheFile) {
  const Json seeded = {{"version", 7},
                       {"profiles", {toolProfile("OTHER", 4), toolProfile("ONE", 0)}},
                       {"faults", {{"start", "kept"}}}};
  const Pointer manager = loadAll(seeded).back();
  manager->appRules = std::vector<NEAppRule>{};
  ASSERT_TRUE((wait<std::expected<void, PlatformError>>(
      [manager](auto handler) { manager->saveToPreferences(handler); })));
  EXPECT_EQ(manager->connection().status(), NEVPNStatusDisconnected);
  Json stored = testing::readPreferences(home_.path());
  EXPECT_EQ(stored["profiles"][1]["appRules"], Json::array());
  EXPECT_EQ(connection(1), (Json{{"type", "tunnelProviderSession"}, {"status", 1}}));  // valid
  stored["profiles"].erase(1);
  EXPECT_EQ(
      stored,
      (Json{{"version", 7}, {"profiles", {seeded["profiles"][0]}}, {"faults", seeded["faults"]}}));
}

TEST_F(SimulatedNetworkExtension, SaveWritesOtherNumbersAsTheyWere) {
  testing::seedPreferences(home_.path(), {{"profiles", Json::array()}});  // makes the folder
  const std::string path = testing::preferencesPath(home_.path());
  testing::writeFile(path, R"({"profiles": [)" + toolProfile("ONE", 1).dump() +
                               R"(], "kept": {"big": 123456789012345678901234567890, )"
                               R"("tenth": 0.10, "hundred": 1E2, "list": [-0.0, 2.50e-3, 7]},)"
                               R"("again": [1.5, 2.5], "again": [1]})");
  const Pointer manager = wait<std::expected<std::vector<Pointer>, PlatformError>>(
                              &NETunnelProviderManager::loadAllFromPreferences)
                              .value()
                              .front();
  manager->appRules = std::vector<NEAppRule>{};
  ASSERT_TRUE((wait<std::expected<void, PlatformError>>(
      [manager](auto handler) { manager->saveToPreferences(handler); })));
  // Indented as before, with each number of the member the simulator does not own as written.
  const std::string written = testing::readFile(path);
  std::string expected = nlohmann::ordered_json::parse(written).dump(2) + "\n";
  for (const auto& [shortest, text] :
       {std::pair{"1.2345678901234568e+29", "123456789012345678901234567890"},
        std::pair{"0.1,", "0.10,"}, std::pair{"100.0", "1E2"}, std::pair{"0.0025", "2.50e-3"}}) {
    const auto at = expected.find(shortest);
    ASSERT_NE(at, std::string::npos) << shortest;
    expected.replace(at, std::string_view(shortest).size(), text);
  }
  EXPECT_EQ(written, expected);
  EXPECT_EQ(testing::readPreferences(home_.path())["profiles"][0]["appRules"], Json::array());
}

TEST_F(SimulatedNetworkExtension, StatusSettlesAfterHalfASecondWithoutWriting) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  Json connecting = toolProfile("ONE", 2);
  connecting["connection"]["since"] = now - 0.7;
  Json disconnecting = toolProfile("TWO", 5);
  disconnecting["connection"]["since"] = now - 0.7;
  Json pinned = toolProfile("THREE", 2);  // without "since" it never settles
  const auto managers = loadAll({{"profiles", {connecting, disconnecting, pinned}}});
  EXPECT_EQ(managers[0]->connection().status(), NEVPNStatusConnected);
  EXPECT_EQ(managers[1]->connection().status(), NEVPNStatusDisconnected);
  EXPECT_EQ(managers[2]->connection().status(), NEVPNStatusConnecting);
  EXPECT_EQ(connection(0)["status"], 2);  // reading never writes
}

TEST_F(SimulatedNetworkExtension, StopChangesOnlyATunnelThatIsUp) {
  Pointer manager =
      loadAll({{"profiles", {toolProfile("ONE", 3)}}, {"faults", {{"stopIgnored", true}}}}).front();
  EXPECT_TRUE(manager->connection().stopVPNTunnel());  // taken on, and ignored
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnected);
  EXPECT_EQ(connection(0)["status"], 3);

  manager = loadAll({{"profiles", {toolProfile("ONE", 1)}}}).front();
  manager->connection().stopVPNTunnel();
  EXPECT_EQ(manager->connection().status(), NEVPNStatusDisconnected);
  EXPECT_FALSE(connection(0).contains("since"));

  // A plain connection, on which nothing can be started, can still be stopped.
  Json plain = toolProfile("ONE", 4);
  plain["connection"]["type"] = "ikev2Connection";
  manager = loadAll({{"profiles", {plain}}}).front();
  manager->connection().stopVPNTunnel();
  EXPECT_EQ(connection(0)["status"], 5);
  EXPECT_EQ(connection(0)["type"], "ikev2Connection");
}

// A stop or a start that cannot be written (here a folder with something in it stands where the
// file's lock should be, which the simulator does not remove) changes nothing, in memory
// either: the stop says it was not taken on, the connection reads what is stored, and the
// start fails with the write's error.
TEST_F(SimulatedNetworkExtension, AStopOrStartThatCannotBeRecordedChangesNothing) {
  const std::string lock = home_ / ".local/state/kelo-ne-manager/vpn-preferences.lock";
  const Pointer manager = loadAll({{"profiles", {toolProfile("ONE", 3)}}}).front();
  std::filesystem::remove_all(lock);
  testing::makeDirectories(lock + "/kept");
  EXPECT_FALSE(manager->connection().stopVPNTunnel());
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnected);
  auto* session = dynamic_cast<NETunnelProviderSession*>(&manager->connection());
  ASSERT_NE(session, nullptr);
  const auto started = session->startVPNTunnel();
  ASSERT_FALSE(started);
  EXPECT_TRUE(started.error().localizedDescription.starts_with(
      "The VPN preferences could not be written: " + lock))
      << started.error().localizedDescription;
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnected);
  EXPECT_EQ(connection(0)["status"], 3);
}

// With on-demand on, the first rule that matches the network decides what a status reads: a
// connect rule brings a disconnected tunnel up, a disconnect rule takes a running one down, an
// ignore rule leaves it. Without on-demand on, or without a network, nothing acts.
TEST_F(SimulatedNetworkExtension, TheFirstMatchingOnDemandRuleDecidesTheStatusRead) {
  const Json rules = Json::parse(R"([{"action":"ignore","interfaceType":"ethernet"},
      {"action":"connect","interfaceType":"wifi","ssids":["Home"]},{"action":"evaluate"},
      {"action":"disconnect"}])");
  const auto readAs = [&](std::int64_t status, const Json& network, bool enabled = true) {
    Json profile = toolProfile("ONE", status);
    profile["onDemandEnabled"] = enabled;
    profile["onDemandRules"] = rules;
    return loadAll({{"profiles", {profile}}, {"network", network}}).front()->connection().status();
  };
  const Json home = {{"interfaceType", "wifi"}, {"ssid", "Home"}};
  EXPECT_EQ(readAs(1, home), NEVPNStatusConnected);
  EXPECT_EQ(readAs(3, {{"interfaceType", "wifi"}, {"ssid", "Cafe"}}), NEVPNStatusDisconnected);
  EXPECT_EQ(readAs(3, {{"interfaceType", "ethernet"}}), NEVPNStatusConnected);
  EXPECT_EQ(readAs(1, home, false), NEVPNStatusDisconnected);
  EXPECT_EQ(readAs(1, nullptr), NEVPNStatusDisconnected);
  // A disconnect rule takes down only what is up or coming up.
  const Json cafe = {{"interfaceType", "wifi"}, {"ssid", "Cafe"}};
  for (const auto& [stored, read] :
       std::vector<std::pair<std::int64_t, NEVPNStatus>>{{0, NEVPNStatusInvalid},
                                                         {2, NEVPNStatusDisconnected},
                                                         {4, NEVPNStatusDisconnected},
                                                         {5, NEVPNStatusDisconnecting}}) {
    EXPECT_EQ(readAs(stored, cafe), read) << stored;
  }

  // A save that switches on-demand off acts from then on, and writes back the rule it could not
  // read as it was.
  Json profile = toolProfile("ONE", 1);
  profile["onDemandEnabled"] = true;
  profile["onDemandRules"] = rules;
  const Pointer onDemand = loadAll({{"profiles", {profile}}, {"network", home}}).front();
  EXPECT_EQ(onDemand->connection().status(), NEVPNStatusConnected);
  onDemand->onDemandEnabled = false;
  ASSERT_TRUE((wait<std::expected<void, PlatformError>>(
      [onDemand](auto handler) { onDemand->saveToPreferences(handler); })));
  EXPECT_EQ(onDemand->connection().status(), NEVPNStatusDisconnected);
  EXPECT_EQ(testing::readPreferences(home_.path())["profiles"][0]["onDemandRules"], rules);
}

// Where the file's "system" asks the simulated Mac to behave as a real one does: a status that
// shows the one before the last start or stop for a while, a provider slow to stop, and a start
// dropped while the tunnel goes down. Times far from every boundary, for a busy machine.
TEST_F(SimulatedNetworkExtension, ARealMacsLagSlowStopAndDroppedStart) {
  const double now =
      std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const auto stopped = [&](double ago) {
    Json profile = toolProfile("STOPPED " + std::to_string(ago), 5);
    profile["connection"]["since"] = now - ago;
    profile["connection"]["previous"] = 3;
    return profile;
  };
  const Json mac = {{"statusLagSeconds", 2}, {"stopSeconds", 5}};
  const auto managers =
      loadAll({{"profiles", {stopped(1), stopped(3), stopped(6)}}, {"system", mac}});
  EXPECT_EQ(managers[0]->connection().status(), NEVPNStatusConnected);  // still the one before
  EXPECT_EQ(managers[1]->connection().status(), NEVPNStatusDisconnecting);
  EXPECT_EQ(managers[2]->connection().status(), NEVPNStatusDisconnected);
  // Out of range, or without "system", neither acts: the half second of every other Mac.
  for (const Json& other : {Json{{"statusLagSeconds", 3}, {"stopSeconds", 5.5}}, Json()}) {
    const auto plain = loadAll({{"profiles", {stopped(1)}}, {"system", other}}).front();
    EXPECT_EQ(plain->connection().status(), NEVPNStatusDisconnected) << other;
  }

  // A start and a stop write what the status read before them while it lags, and only then.
  Pointer manager =
      loadAll({{"profiles", {toolProfile("ONE", 3)}}, {"system", {{"statusLagSeconds", 2}}}})
          .front();
  manager->connection().stopVPNTunnel();
  EXPECT_EQ(connection(0)["status"], 5);
  EXPECT_EQ(connection(0)["previous"], 3);
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnected);
  manager = loadAll({{"profiles", {toolProfile("ONE", 3)}}}).front();
  manager->connection().stopVPNTunnel();
  EXPECT_FALSE(connection(0).contains("previous"));

  // A start while the tunnel reads disconnecting is dropped: it succeeds and changes nothing.
  const Json drops = {{"dropsStartWhileDisconnecting", true}};
  for (const std::int64_t status : {5, 1}) {
    manager = loadAll({{"profiles", {toolProfile("ONE", status)}}, {"system", drops}}).front();
    auto* session = dynamic_cast<NETunnelProviderSession*>(&manager->connection());
    ASSERT_NE(session, nullptr);
    EXPECT_TRUE(session->startVPNTunnel());
    EXPECT_EQ(connection(0)["status"], status == 5 ? 5 : 2) << status;
    EXPECT_EQ(connection(0).contains("since"), status == 1) << status;
  }
}

// A start that never comes up falls with the fault's error: the error is the connection's last
// disconnect error once the status reads disconnected, not while it is still connecting; a later
// start forgets it, keeping the stored last disconnect error.
TEST_F(SimulatedNetworkExtension, AFailingStartsErrorBelongsToItsFall) {
  const auto lastError = [&](const Pointer& manager) -> std::string {
    const auto error = wait<std::optional<PlatformError>>(
        [manager](auto handler) { manager->connection().fetchLastDisconnectError(handler); });
    return error ? error->localizedDescription : "none";
  };
  Json profile = toolProfile("ONE", 1);
  profile["connection"]["lastDisconnectError"] = "before";
  Pointer manager =
      loadAll({{"profiles", {profile}}, {"faults", {{"connectFails", "no answer"}}}}).front();
  auto* session = dynamic_cast<NETunnelProviderSession*>(&manager->connection());
  ASSERT_NE(session, nullptr);
  ASSERT_TRUE(session->startVPNTunnel());
  EXPECT_EQ(connection(0)["failingError"], "no answer");
  EXPECT_EQ(connection(0)["lastDisconnectError"], "before");
  EXPECT_EQ(manager->connection().status(), NEVPNStatusConnecting);
  EXPECT_EQ(lastError(manager), "before");

  Json fallen = testing::readPreferences(home_.path());
  fallen["profiles"][0]["connection"]["since"] =
      fallen["profiles"][0]["connection"]["since"].get<double>() - 1;
  fallen.erase("faults");
  manager = loadAll(fallen).front();
  EXPECT_EQ(manager->connection().status(), NEVPNStatusDisconnected);
  EXPECT_EQ(lastError(manager), "no answer");

  session = dynamic_cast<NETunnelProviderSession*>(&manager->connection());
  ASSERT_TRUE(session->startVPNTunnel());
  EXPECT_FALSE(connection(0).contains("failing"));
  EXPECT_FALSE(connection(0).contains("failingError"));
  EXPECT_EQ(lastError(manager), "before");
}

}  // namespace
}  // namespace kelo
