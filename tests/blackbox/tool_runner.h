// Runs the built tool as a caller would: arguments, bytes on standard input, a home
// directory, and optionally inside a fake system root laid over the real one.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace kelo::testing {

struct ToolRun {
  std::string standardOutput;
  std::string standardError;
  int exitStatus = -1;
  // How far the tool read into the standard input it was given.
  long long inputOffset = 0;
  // The CPU time (user and system) the run and the children it waited for took.
  double cpuSeconds = 0;
};

struct ToolInvocation {
  std::vector<std::string> arguments;               // after the program name
  std::optional<std::string> input = std::nullopt;  // nullopt: standard input is /dev/null
  std::string home = {};
  // When set: the files of this folder are laid over "/" for the run, in a private mount
  // namespace, and `scratch` holds the overlay's own folders.
  std::optional<std::string> fakeRoot = std::nullopt;
  std::string scratch = {};
  // Run before the tool, which follows with its arguments: a shell that changes what the tool
  // starts with, say (`sh -c '...; exec "$0" "$@"'`).
  std::vector<std::string> prefix = {};
  // False when the prefix sends the tool's streams elsewhere (the schema test, which checks the
  // document of every recorded run, then has none to read), or for runs that only repeat
  // documents recorded elsewhere.
  bool recorded = true;
  // True: the build of the tool that runs "$HOME/.codesign" as its code-signing program.
  bool homeCodesign = false;
  // When set: this signal is sent to the run so long after it was started.
  std::optional<std::pair<int, std::chrono::microseconds>> signalAfter = std::nullopt;
};

ToolRun runTool(const ToolInvocation& invocation);

// Runs several invocations at the same time and waits for all of them.
std::vector<ToolRun> runToolsConcurrently(const std::vector<ToolInvocation>& invocations);

// Whether this machine lets the tests build a fake system root (root, mount namespaces).
bool fakeRootAvailable();

// A user for runs under a process limit, which counts every process of the user: a uid that no
// process of this machine runs as and the password database does not name, and a copy of the
// tool in a folder of its own that any user can reach (the build's folder may lie under one that
// only its owner can enter). `unavailable` says why there is none: runs as another user need
// root, and a temporary folder that user can reach. Tests that run as it share it, so CTest
// never runs two of them at once (tests/CMakeLists.txt).
struct OtherUser {
  unsigned uid = 0;
  std::string tool;
  std::string unavailable;
};
const OtherUser& otherUser();

// A prefix that runs the copy of the tool as that user, after the shell command `before` (empty,
// or ending in "&" or ";"), under prlimit's `limits`. The user must have been given the home.
std::vector<std::string> asOtherUser(const std::string& limits, const std::string& before = "");

// As the other user with a limit of one process: no thread and no child can be started.
std::vector<std::string> withoutProcessesToSpare();

// A connect request that leaves these applications out of the tunnel (none: a full tunnel).
Json connectRequest(Json excludedApps = Json::array());

// The status document without a profile of the tool, in protocols 1 and 2.
inline const std::string kNotConfigured =
    R"({"configured":false,"connected":false,"connecting":false,"disconnecting":false,)"
    R"("status":"invalid","perAppMode":false,"appRuleCount":0})";
inline const std::string kNotConfigured2 =
    R"({"configured":false,"connected":false,"connecting":false,"disconnecting":false,)"
    R"("status":"invalid","perAppMode":false,"appRuleCount":0,"serverAddress":null,)"
    R"("connectedSince":null,"lastDisconnectError":null,"onDemand":{"enabled":false,)"
    R"("rules":[]},"networkPolicy":null,"appRules":[],"enabled":null,"displaced":false})";

// A test of the binary with a private home, whose simulated preferences it seeds and reads back
// the way a caller of the tool would.
class ToolTest : public ::testing::Test {
 protected:
  ToolRun run(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt,
              std::vector<std::string> prefix = {}) const;
  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) const;
  // Applications under ~/Applications, which "$HOME/.codesign" signs each with its name, and a
  // protocol 2 run of the build of the tool that runs that program.
  void installSignedApplications(const std::vector<std::string>& names) const;
  ToolRun runSigning(const std::string& command, const Json& request) const;
  Json stored() const;
  // The failure document of a message whose slashes are already escaped, on its own.
  static void expectFailure(const ToolRun& result, const std::string& escapedMessage);
  static void expectSuccess(const ToolRun& result, const std::string& document);

  TemporaryDirectory home_;
};

}  // namespace kelo::testing
