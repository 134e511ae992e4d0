// "wait" through the binary: it answers as soon as the status it waits for is there, whoever
// brought it about (the tunnel settling, another process, the system's on-demand decision),
// the status as it is when its time is up, the stop document at once on a stop signal, and a
// refusal for a request it cannot honour.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <source_location>
#include <thread>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Generous: a wait notices within 50 ms, but the machine that runs the tests may be busy, and
// its time includes the tool's exit.
constexpr double kNoticedSeconds = 0.5;
// Far below the 14 seconds of a wait that missed what it waited for, and above any start of
// the tool, under a sanitizer on a busy machine too.
constexpr auto kPrompt = 5s;
// The most CPU time a 2-second wait that looks again every 20 ms may take, under a sanitizer on
// a busy machine too; one that never pauses takes more than a second of them.
constexpr double kLookingAgainSeconds = 0.5;

double epochSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string document(const std::string& status, bool configured = true) {
  return R"({"configured":)" + std::string(configured ? "true" : "false") + R"(,"connected":)" +
         (status == "connected" ? "true" : "false") + R"(,"connecting":)" +
         (status == "connecting" ? "true" : "false") + R"(,"disconnecting":false,"status":")" +
         status + R"(","perAppMode":false,"appRuleCount":0})";
}

class Wait : public ToolTest {
 protected:
  struct Timed {
    ToolRun run;
    double answered;  // when the run had ended, in seconds since the epoch
  };
  // A wait, while `meanwhile` runs on another thread `after` it began. A run whose preferences
  // the test leaves unreadable is not recorded for the schema test.
  Timed waitWhile(const std::string& request, Clock::duration after,
                  const std::function<void()>& meanwhile, bool recorded = true) const {
    const auto began = Clock::now();
    std::thread other([&] {
      std::this_thread::sleep_until(began + after);
      meanwhile();
    });
    Timed timed{
        runTool(
            {.arguments = {"wait"}, .input = request, .home = home_.path(), .recorded = recorded}),
        0};
    timed.answered = epochSeconds();
    other.join();
    return timed;
  }
  // When the stored start or stop of the first profile settles.
  double settles() const {
    return stored()["profiles"][0]["connection"]["since"].get<double>() + 0.5;
  }
  static void expectSoonAfter(double answered, double moment,
                              std::source_location where = std::source_location::current()) {
    EXPECT_GE(answered, moment) << "line " << where.line();
    EXPECT_LT(answered - moment, kNoticedSeconds) << "line " << where.line();
  }
  void writeNetwork(const Json& network) const {
    Json document = stored();
    document["network"] = network;
    seedPreferences(home_.path(), document);  // in place, as a test harness might
  }
};

TEST_F(Wait, AnswersWhenTheTunnelHasSettledAndNotBefore) {
  expectSuccess(run({"connect"}, connectRequest().dump()), document("connecting"));
  const auto waited = run({"wait"}, R"({"until":["connected"]})");
  const double answered = epochSeconds();
  expectSuccess(waited, document("connected"));
  expectSoonAfter(answered, settles());

  // Already there: at once, and in protocol 2 with the rest of the status.
  const auto began = Clock::now();
  const auto again = run({"wait", "--protocol=2"});
  EXPECT_LT(Clock::now() - began, kPrompt);
  EXPECT_EQ(Json::parse(again.standardOutput)["status"], "connected");
  EXPECT_NE(Json::parse(again.standardOutput)["connectedSince"], nullptr);
}

TEST_F(Wait, NoticesWhatAnotherProcessOrTheSystemChanges) {
  // No profile at all: the status reads invalid, and a connect of another process is seen.
  auto waited = waitWhile(R"({"until":["connected"]})", 200ms, [this] {
    EXPECT_EQ(run({"connect"}, connectRequest().dump()).exitStatus, 0);
  });
  expectSuccess(waited.run, document("connected"));
  expectSoonAfter(waited.answered, settles());

  // A disconnect of another process.
  waited = waitWhile(R"({"until":["disconnected"]})", 200ms,
                     [this] { EXPECT_EQ(run({"disconnect"}).exitStatus, 0); });
  expectSuccess(waited.run, document("disconnected"));
  expectSoonAfter(waited.answered, settles());

  // On-demand brings the tunnel up once the machine leaves the network where it must stay down.
  Json profile = toolProfile("ONE", 1);
  profile["onDemandEnabled"] = true;
  profile["onDemandRules"] = Json::parse(
      R"([{"action":"disconnect","interfaceType":"wifi","ssids":["Home"]},{"action":"connect"}])");
  seedPreferences(home_.path(), {{"profiles", {profile}},
                                 {"network", {{"interfaceType", "wifi"}, {"ssid", "Home"}}}});
  double moved = 0;
  waited = waitWhile(R"({"until":["connected"]})", 200ms, [&] {
    moved = epochSeconds();
    writeNetwork({{"interfaceType", "ethernet"}});
  });
  expectSuccess(waited.run, document("connected"));
  expectSoonAfter(waited.answered, moved);

  // The profile removed by another process.
  waited = waitWhile(R"({"until":["invalid"]})", 200ms,
                     [this] { EXPECT_EQ(run({"remove"}).exitStatus, 0); });
  expectSuccess(waited.run, document("invalid", false));
}

TEST_F(Wait, AStartThatFailsEndsDisconnectedAndSaysWhy) {
  seed({}, {{"connectFails",
             {{"description", "The server did not answer."},
              {"domain", "NEVPNErrorDomain"},
              {"code", 7}}}});
  EXPECT_EQ(run({"connect"}, connectRequest().dump()).exitStatus, 0);
  const auto waited = run({"wait", "--protocol=2"}, R"({"until":["connected","disconnected"]})");
  EXPECT_EQ(waited.exitStatus, 0);
  const Json answer = Json::parse(waited.standardOutput);
  EXPECT_EQ(answer["status"], "disconnected");
  EXPECT_EQ(answer["lastDisconnectError"],
            Json::parse(R"({"message":"The server did not answer.","domain":"NEVPNErrorDomain",)"
                        R"("code":7})"));
}

// A file caught half-written by whoever changes it is read again; one that stays unreadable is
// answered as the failure it is once the time is up.
TEST_F(Wait, AFileCaughtHalfWrittenIsReadAgain) {
  seed({toolProfile("ONE", 3)});
  const std::string path = preferencesPath(home_.path());
  auto waited = waitWhile(R"({"until":["disconnected"]})", 100ms, [&] {
    writeFile(path, R"({"profiles":[)", 0600);
    std::this_thread::sleep_for(100ms);
    seed({toolProfile("ONE", 1)});
  });
  expectSuccess(waited.run, document("disconnected"));

  // Looking again pauses between looks: a core kept busy would take most of the 2 seconds.
  waited = waitWhile(R"({"until":["connected"],"timeoutSeconds":2})", 100ms,
                     [&] { writeFile(path, "{", 0600); }, false);
  EXPECT_LT(waited.run.cpuSeconds, kLookingAgainSeconds);
  EXPECT_EQ(waited.run.standardOutput, "");
  EXPECT_EQ(
      waited.run.standardError.rfind(R"({"error":"Failed to load packet tunnel preferences: )", 0),
      0u)
      << waited.run.standardError;
  EXPECT_EQ(waited.run.exitStatus, 1);
}

// The store's folder moved away with a folder above it, as an uninstaller or a clean-up might:
// the wait sees that nothing is stored any more at once, not at its time-out.
TEST_F(Wait, NoticesAFolderAboveTheStoreMovedAway) {
  for (const std::string above : {"/.local", "/.local/state"}) {
    seed({toolProfile("ONE", 3)});
    double moved = 0;
    const auto waited = waitWhile(R"({"until":["invalid"],"timeoutSeconds":5})", 200ms, [&] {
      moved = epochSeconds();
      ASSERT_EQ(rename((home_.path() + above).c_str(), (home_.path() + above + "-old").c_str()), 0);
    });
    expectSuccess(waited.run, document("invalid", false));
    expectSoonAfter(waited.answered, moved);
    std::filesystem::remove_all(home_.path() + "/.local");
    std::filesystem::remove_all(home_.path() + "/.local-old");
  }
}

// With no thread to spare for listening, a wait looks again every few milliseconds instead.
TEST_F(Wait, WithoutAThreadToSpareItStillNotices) {
  if (const OtherUser& user = otherUser(); !user.unavailable.empty()) {
    GTEST_SKIP() << user.unavailable;
  }
  ASSERT_EQ(chown(home_.path().c_str(), otherUser().uid, otherUser().uid), 0);
  const auto nobody = withoutProcessesToSpare();
  EXPECT_EQ(run({"connect"}, connectRequest().dump(), nobody).exitStatus, 0);
  expectSuccess(run({"wait"}, R"({"until":["connected"]})", nobody), document("connected"));
  expectSoonAfter(epochSeconds(), settles());
  const auto looking = run({"wait"}, R"({"until":["reasserting"],"timeoutSeconds":2})", nobody);
  expectSuccess(looking, document("connected"));
  EXPECT_LT(looking.cpuSeconds, kLookingAgainSeconds);
}

// Time running out is no failure: the caller compares the status with what it waited for.
TEST_F(Wait, AnswersTheStatusAsItIsWhenTimeIsUp) {
  seed({toolProfile("ONE", 3)});
  auto began = Clock::now();
  expectSuccess(run({"wait"}, R"({"until":["disconnected"],"timeoutSeconds":0.3})"),
                document("connected"));
  EXPECT_GE(Clock::now() - began, 300ms);
  EXPECT_LT(Clock::now() - began, kPrompt);

  // By default at most 14 seconds, inside the run's 15.
  began = Clock::now();
  expectSuccess(run({"wait"}, R"({"until":["reasserting"]})"), document("connected"));
  EXPECT_GE(Clock::now() - began, 13s);
  EXPECT_LT(Clock::now() - began, 15s);

  // A start written in milliseconds (an easy slip in a test harness) settles far in the future:
  // the wait is for it, and answers at its time-out all the same.
  Json farAhead = toolProfile("ONE", 2);
  farAhead["connection"]["since"] = epochSeconds() * 1000;
  seed({farAhead});
  expectSuccess(run({"wait"}, R"({"until":["connected"],"timeoutSeconds":0.3})"),
                document("connecting"));
}

TEST_F(Wait, AStopSignalEndsItAtOnce) {
  seed({toolProfile("ONE", 3)});
  const auto began = Clock::now();
  const auto stopped = runToolsConcurrently(
      {{.arguments = {"wait", "--protocol=2"},
        .input = R"({"until":["disconnected"]})",
        .home = home_.path(),
        .signalAfter = std::pair{SIGTERM, std::chrono::microseconds(300'000)}}})[0];
  EXPECT_LT(Clock::now() - began, kPrompt);
  EXPECT_EQ(stopped.standardOutput, "");
  EXPECT_EQ(stopped.standardError,
            R"({"error":"Stopped by SIGTERM before the request was complete.","code":"stopped",)"
            R"("step":"wait","signal":"SIGTERM"})");
  EXPECT_EQ(stopped.exitStatus, 1);
}

// The request is optional; what it holds is checked before anything is waited for.
TEST_F(Wait, RefusesARequestItCannotHonour) {
  for (const std::string empty : {"", " \n", "{}", R"({"until":null,"timeoutSeconds":null})"}) {
    expectSuccess(run({"wait"}, empty), document("invalid", false));
  }
  const std::string statuses =
      R"(the statuses are \"invalid\", \"disconnected\", \"connecting\", \"connected\", )"
      R"(\"reasserting\" and \"disconnecting\".)";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"[]", "The request is an array; expected a JSON object."},
      {R"({"until":"connected"})",
       R"(Member \"until\" of the request is a string; expected a list of statuses.)"},
      {R"({"until":[]})", R"(Member \"until\" of the request is an empty list; leave it out )"
                          R"(to wait for \"invalid\", \"disconnected\" or \"connected\".)"},
      {R"({"until":["connected",3]})",
       R"(Element 1 of member \"until\" of the request is a number; expected a status.)"},
      {R"({"until":["up"]})",
       R"(Element 0 of member \"until\" of the request is \"up\", which is not a status; )" +
           statuses},
      {R"({"until":["Connected"]})",
       R"(Element 0 of member \"until\" of the request is \"Connected\", which is not a )"
       R"(status; )" +
           statuses},
      {R"({"timeoutSeconds":"5"})",
       R"(Member \"timeoutSeconds\" of the request is a string; expected a number of seconds.)"},
  };
  for (const auto& [request, message] : refused) {
    expectFailure(run({"wait"}, request), message);
  }
  for (const std::string seconds : {"0", "-1", "14.001", "15", "1e3", "-0.0"}) {
    expectFailure(run({"wait"}, R"({"timeoutSeconds":)" + seconds + "}"),
                  R"(Member \"timeoutSeconds\" of the request is )" + seconds +
                      "; it must be greater than 0 and at most 14.");
  }
  const auto refusal = run({"wait", "--protocol=2"}, R"({"until":[]})");
  EXPECT_EQ(Json::parse(refusal.standardError)["code"], "invalidRequest");
  EXPECT_EQ(Json::parse(refusal.standardError)["step"], "request");
}

}  // namespace
}  // namespace kelo::testing
