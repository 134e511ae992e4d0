// The tool against a simulated Mac that behaves as a real one does where the defaults do not: a
// start dropped while the tunnel is still going down, a provider slow to stop, and a status that
// shows a change late. What the caller sees then, and what the tunnel ends as.
#include <gtest/gtest.h>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

std::string document(const std::string& status) {
  return R"({"configured":true,"connected":)" +
         std::string(status == "connected" ? "true" : "false") + R"(,"connecting":)" +
         (status == "connecting" ? "true" : "false") + R"(,"disconnecting":)" +
         (status == "disconnecting" ? "true" : "false") + R"(,"status":")" + status +
         R"(","perAppMode":false,"appRuleCount":0})";
}

class AsOnAMac : public ToolTest {
 protected:
  void seedMac(const std::vector<Json>& profiles, const Json& system) const {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"system", system}});
  }
  ToolRun connect() const { return run({"connect"}, connectRequest().dump()); }
  ToolRun waitFor(const std::string& status) const {
    return run({"wait"}, R"({"until":[")" + status + R"("],"timeoutSeconds":4})");
  }
  std::int64_t storedStatus() const { return stored()["profiles"][0]["connection"]["status"]; }
};

// An application's reconnect, a disconnect and then a connect at once, and a connect that
// restarts a tunnel whose provider takes longer to stop than the restart delay, both end with
// the tunnel coming up: the start that the system dropped is asked for again once it is down.
TEST_F(AsOnAMac, AStartDroppedWhileTheTunnelGoesDownIsAskedForAgain) {
  seedMac({toolProfile("ONE", 3)}, {{"dropsStartWhileDisconnecting", true}});
  expectSuccess(run({"disconnect"}), document("disconnecting"));
  expectSuccess(connect(), document("connecting"));
  EXPECT_EQ(storedStatus(), 2);
  expectSuccess(waitFor("connected"), document("connected"));

  Json connected = toolProfile("ONE", 3);
  seedMac({connected}, {{"dropsStartWhileDisconnecting", true}, {"stopSeconds", 2}});
  expectSuccess(connect(), document("connecting"));
  EXPECT_EQ(storedStatus(), 2);
  expectSuccess(waitFor("connected"), document("connected"));
}

// Right after a start or a stop, a Mac's status still shows the state before it: the answer
// says so, and a wait tells the outcome once the status catches up.
TEST_F(AsOnAMac, ALaggingStatusAnswersTheStateBeforeAndAWaitTheOutcome) {
  seedMac({}, {{"statusLagSeconds", 1}});
  expectSuccess(connect(), document("disconnected"));
  expectSuccess(waitFor("connected"), document("connected"));
  expectSuccess(run({"disconnect"}), document("connected"));
  expectSuccess(waitFor("disconnected"), document("disconnected"));
  EXPECT_EQ(stored()["profiles"][0]["connection"]["previous"], 3);
}

}  // namespace
}  // namespace kelo::testing
