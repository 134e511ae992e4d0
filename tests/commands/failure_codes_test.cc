// Every family of failure a command can end in carries its code, and the step it happened in,
// whatever its English text says: whole commands in process against the simulated platform, as
// a caller's failures arise. (Each test runs in a process of its own, so the HOME and the
// standard input it sets touch no other test.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "command_table.h"
#include "support/test_support.h"

namespace kelo {
namespace {

using testing::Json;
using testing::toolProfile;

const char kCodesign[] =
    "#!/bin/sh\n"
    "case \"$4\" in *Unsigned*) exit 1;; esac\n"
    "echo \"Identifier=com.example.app\" >&2\n"
    "echo 'designated => identifier \"com.example.app\"'\n";

class FailureCodes : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HOME", home_.path().c_str(), 1);
    testing::writeFile(home_ / "codesign", kCodesign, 0755);
    app("Signed");
  }
  std::string app(const std::string& name) const {
    const std::string bundle = home_ / ("Applications/" + name + ".app");
    testing::writeFile(bundle + "/Contents/MacOS/" + name, "", 0755);
    return bundle;
  }
  // Runs one command with `request` on standard input against `preferences`.
  Result<Reply> run(const std::vector<std::string>& words, const Json& request,
                    const Json& preferences) const {
    testing::seedPreferences(home_.path(), preferences);
    testing::writeFile(home_ / "request", request.is_null() ? "" : request.dump());
    const int input = open((home_ / "request").c_str(), O_RDONLY | O_CLOEXEC);
    if (input >= 0) {
      EXPECT_EQ(dup2(input, STDIN_FILENO), STDIN_FILENO);
      close(input);
    }
    EXPECT_GE(input, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    const Surroundings surroundings{deadline, [&] {
                                      return commands::Context{
                                          deadline,
                                          std::chrono::milliseconds(20),
                                          {{home_ / "Applications"}, home_ / "codesign", 4}};
                                    }};
    std::vector<std::string> arguments = {"kelo-ne-manager"};
    arguments.insert(arguments.end(), words.begin(), words.end());
    return runCommand(arguments, surroundings);
  }
  // The code and step of the failure such a run ends in.
  std::pair<FailureCode, Step> failure(const std::vector<std::string>& words, const Json& request,
                                       const Json& preferences) const {
    const auto result = run(words, request, preferences);
    EXPECT_FALSE(result) << (words.empty() ? "" : words.front());
    if (result) {
      return {FailureCode::internal, Step::none};
    }
    return {failureCode(result.error()), failureStep(result.error())};
  }

  testing::TemporaryDirectory home_;
};

Json connectRequest(Json excludedApps) {
  return {{"privateKey", "k"},
          {"address", "10.8.0.2/32"},
          {"dns", "1.1.1.1"},
          {"peerPublicKey", "p"},
          {"peerEndpoint", "203.0.113.5:51820"},
          {"allowedIps", "0.0.0.0/0"},
          {"excludedApps", std::move(excludedApps)}};
}

Json withFaults(Json profiles, Json faults) {
  return {{"profiles", std::move(profiles)}, {"faults", std::move(faults)}};
}

TEST_F(FailureCodes, EveryFamilyHasItsCodeAndStep) {
  using enum FailureCode;
  const Json fullTunnel = connectRequest(Json::array());
  const Json none = Json::array();
  const Json running = Json::array({toolProfile("ONE", 3)});
  const Json perApp = Json::array({toolProfile("ONE", 1, Json::array({testing::appRule("x")}))});
  const Json denied = {
      {"description", "permission denied"}, {"domain", "NEVPNErrorDomain"}, {"code", 5}};
  const std::string signedApp = home_ / "Applications/Signed.app";
  struct Case {
    std::vector<std::string> words;
    Json request;
    Json preferences;
    FailureCode code;
    Step step;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{}, nullptr, withFaults(none, {}), usage, Step::none},
      {{"connec"}, nullptr, withFaults(none, {}), usage, Step::none},
      {{"connect"}, nullptr, withFaults(none, {}), invalidRequest, Step::request},
      {{"connect"}, {{"excludedApps", 7}}, withFaults(none, {}), invalidRequest, Step::request},
      {{"connect"}, connectRequest({home_ / "Missing.app"}), withFaults(none, {}), applicationNotFound, Step::request},
      {{"connect"}, connectRequest({signedApp}), withFaults(none, {}), noApplications, Step::inspect},
      {{"update-app-rules"}, {{"excludedApps", none}}, withFaults(none, {}), notConfigured, Step::none},
      {{"update-app-rules"}, {{"excludedApps", none}}, withFaults(running, {}), notPerApp, Step::none},
      {{"connect"}, fullTunnel, withFaults(none, {{"loadAll", "no"}}), platform, Step::load},
      {{"connect"}, fullTunnel, withFaults(perApp, {{"remove", {{"ONE", denied}}}}), platform, Step::removeStale},
      {{"connect"}, fullTunnel, withFaults(none, {{"save", denied}}), platform, Step::save},
      {{"connect"}, fullTunnel, withFaults(none, {{"reload", "gone"}}), platform, Step::reload},
      {{"connect"}, fullTunnel, withFaults(none, {{"start", "crashed"}}), platform, Step::start},
      {{"status"}, nullptr, withFaults(none, {{"silent", {"loadAll"}}}), timedOut, Step::load},
      {{"connect"}, fullTunnel, withFaults(none, {{"silent", {"save"}}}), timedOut, Step::save},
      {{"connect"}, fullTunnel, withFaults(perApp, {{"silent", {"remove"}}}), timedOut, Step::removeStale},
      {{"connect"}, fullTunnel, withFaults(running, {{"stopIgnored", true}}), timedOut, Step::stop},
  };
  // clang-format on
  for (const auto& each : cases) {
    const auto [code, step] = failure(each.words, each.request, each.preferences);
    const std::string named = (each.words.empty() ? "" : each.words.front()) + " " +
                              each.preferences.dump() + " " + each.request.dump();
    EXPECT_EQ(code, each.code) << named;
    EXPECT_EQ(step, each.step) << named;
  }

  // The platform's own domain and code come through; where no application could be inspected;
  // where the lock cannot be taken.
  const auto refused = run({"connect"}, fullTunnel, withFaults(none, {{"save", denied}}));
  ASSERT_FALSE(refused);
  EXPECT_EQ(std::get<ManagerError>(refused.error()).cause, (PlatformCause{"NEVPNErrorDomain", 5}));
  EXPECT_EQ(failureMessage(refused.error()),
            "Failed to save packet tunnel preferences: permission denied");
  app("Unsigned");
  EXPECT_EQ(failure({"connect"}, connectRequest({signedApp}), withFaults(none, {})),
            std::pair(noUsableRules, Step::inspect));
  const std::string queue = home_ / ".local/state/kelo-ne-manager/kelo-ne-manager-queue.lock";
  std::filesystem::remove(queue);
  testing::makeDirectories(queue + "/kept");  // not a lock file, and not removed
  EXPECT_EQ(failure({"disconnect"}, nullptr, withFaults(none, {})),
            std::pair(platform, Step::lock));
}

}  // namespace
}  // namespace kelo
