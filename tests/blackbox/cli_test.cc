// The tool's command line as the calling application sees it: exact bytes on standard output
// and standard error, the exit status, and the preferences file afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "blackbox/tool_runner.h"
#include "support/test_support.h"

namespace kelo::testing {
namespace {

using namespace std::string_literals;

const std::string kNotConfigured =
    R"({"configured":false,"connected":false,"connecting":false,"disconnecting":false,)"
    R"("status":"invalid","perAppMode":false,"appRuleCount":0})";
const std::string kFullTunnel =
    R"({"privateKey":"k","address":"10.0.0.2/32","dns":"1.1.1.1","peerPublicKey":"p",)"
    R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0","excludedApps":[]})";
const std::string kTimedOut =
    R"({"error":"Timed out waiting for Network Extension manager response."})";

std::string failure(const std::string& escapedMessage) {
  return R"({"error":")" + escapedMessage + R"("})";
}

// A shell prefix that changes what the tool starts with, then runs it.
std::vector<std::string> shell(const std::string& script) {
  return {"/bin/sh", "-c", script + "; exec \"$0\" \"$@\""};
}

class Cli : public ::testing::Test {
 protected:
  ToolRun run(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt,
              std::vector<std::string> prefix = {}) {
    return runTool({.arguments = std::move(arguments),
                    .input = std::move(input),
                    .home = home_.path(),
                    .prefix = std::move(prefix)});
  }
  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
  }
  static void expectFailure(const ToolRun& result, const std::string& escapedMessage) {
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, failure(escapedMessage));
    EXPECT_EQ(result.exitStatus, 1);
  }
  static void expectSuccess(const ToolRun& result, const std::string& document) {
    EXPECT_EQ(result.standardOutput, document);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.exitStatus, 0);
  }
  // One document on one stream, and the exit status that goes with it.
  static void expectOneDocument(const ToolRun& result) {
    const bool succeeded = result.exitStatus == 0;
    ASSERT_TRUE(succeeded || result.exitStatus == 1) << result.exitStatus;
    EXPECT_EQ(succeeded ? result.standardError : result.standardOutput, "");
    const Json document =
        Json::parse(succeeded ? result.standardOutput : result.standardError, nullptr, false);
    ASSERT_TRUE(document.is_object()) << result.standardOutput << result.standardError;
    EXPECT_EQ(document.size(), succeeded ? 7u : 1u);
  }
  bool preferencesExist() const { return exists(preferencesPath(home_.path())); }

  TemporaryDirectory home_;
};

TEST_F(Cli, CommandWordsMatchExactly) {
  expectFailure(run({}), "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>");
  for (const auto& [word, message] :
       std::vector<std::pair<std::string, std::string>>{{"CONNECT", "CONNECT"},
                                                        {" status", " status"},
                                                        {"status ", "status "},
                                                        {"", ""},
                                                        {"a/b", R"(a\/b)"}}) {
    expectFailure(run({word}), "Unknown command: " + message);
  }
  expectSuccess(run({"status", "--verbose", "extra"}), kNotConfigured);
}

TEST_F(Cli, StandardInputIsReadOnlyByTheCommandsThatTakeARequest) {
  for (const char* command : {"status", "disconnect"}) {
    const auto result = run({command}, R"({"excludedApps":[]})");
    EXPECT_EQ(result.inputOffset, 0) << command;
    expectSuccess(result, kNotConfigured);
    expectSuccess(run({command}, std::nullopt, shell("exec <&-")), kNotConfigured);
  }
  // Empty, closed or blank: refused before any profile is loaded.
  seed({}, {{"loadAll", "must not be reached"}});
  for (const char* command : {"connect", "update-app-rules"}) {
    expectFailure(run({command}), "Expected JSON payload on stdin.");
    expectFailure(run({command}, std::nullopt, shell("exec <&-")),
                  "Expected JSON payload on stdin.");
    expectFailure(run({command}, " \n"),
                  "The request is not valid JSON at byte 3: unexpected end of input; expected "
                  "'[', '{', or a literal.");
  }
}

// A request that arrives in two parts on a pipe that does not block is read to its end.
TEST_F(Cli, ARequestOnAPipeThatDoesNotBlockIsReadToItsEnd) {
  const std::string script =
      "import fcntl, os, subprocess, sys, time\n"
      "read, write = os.pipe()\n"
      "fcntl.fcntl(read, fcntl.F_SETFL, fcntl.fcntl(read, fcntl.F_GETFL) | os.O_NONBLOCK)\n"
      "tool = subprocess.Popen(sys.argv[1:], stdin=read)\n"
      "os.close(read)\n"
      "request = sys.stdin.buffer.read()\n"
      "os.write(write, request[:20])\n"
      "time.sleep(0.3)\n"
      "os.write(write, request[20:])\n"
      "os.close(write)\n"
      "sys.exit(tool.wait())\n";
  const auto result = run({"connect"}, kFullTunnel, {"/usr/bin/python3", "-c", script});
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(readPreferences(home_.path())["profiles"].size(), 1u);
}

TEST_F(Cli, RequestsThatCannotBeDecodedSayWhereAndWhat) {
  const std::string prefix =
      R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e",)"
      R"("allowedIps":"i","excludedApps":[],)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({})", R"(The request has no member \"privateKey\"; it must be a string.)"},
      {prefix + R"("mtu":"1280"})",
       R"(Member \"mtu\" of the request is a string; expected an integer.)"},
      {prefix + R"("mtu":1e3})", R"(Member \"mtu\" of the request is 1e3; expected an integer.)"},
      {prefix + R"("mtu":1280.50})",
       R"(Member \"mtu\" of the request is 1280.50; expected an integer.)"},
      {prefix + R"("mtu":-9223372036854775809})",
       R"(Member \"mtu\" of the request is -9223372036854775809, which does not fit in a signed 64-bit integer.)"},
      {prefix + R"("keepaliveSeconds":9223372036854775808})",
       R"(Member \"keepaliveSeconds\" of the request is 9223372036854775808, which does not fit in a signed 64-bit integer.)"},
      {kFullTunnel + "\0{}"s, "The request is not valid JSON at byte " +
                                  std::to_string(kFullTunnel.size() + 1) + ": a NUL byte."},
  };
  for (const auto& [request, message] : cases) {
    expectFailure(run({"connect"}, request), message);
  }
  EXPECT_FALSE(preferencesExist());
}

// Hostile requests, and the parser test documents, none of which is a valid request: each ends
// in exactly one failure document, never in a crash, a hang or a touched preferences file.
TEST_F(Cli, HostileRequestsAndEveryParserTestDocumentAreRefused) {
  std::vector<std::string> requests = {
      "{\"excludedApps\":[\"\xc3\x28\"]}",
      std::string(200000, '[') + std::string(200000, ']'),
      std::string(70u << 20, ' '),
      R"({"excludedApps":["\u0000.app", "\ud800"]})",
  };
  const std::filesystem::path corpus = KELO_JSON_CORPUS;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    requests.push_back(readFile(entry.path().string()));
  }
  EXPECT_EQ(requests.size(), 4u + 318u);
  for (const auto& request : requests) {
    for (const char* command : {"connect", "update-app-rules"}) {
      const auto result = run({command}, request);
      EXPECT_EQ(result.exitStatus, 1);
      EXPECT_EQ(result.standardOutput, "");
      EXPECT_EQ(Json::parse(result.standardError, nullptr, false).size(), 1u);
    }
  }
  EXPECT_FALSE(preferencesExist());
}

TEST_F(Cli, StatusAndDisconnectReportTheFirstToolProfileExactly) {
  Json plain = toolProfile("PLAIN", 4);
  plain["connection"]["type"] = "ikev2Connection";
  seed({plain, toolProfile("SECOND", 1)});
  expectSuccess(run({"status"}),
                R"({"configured":true,"connected":false,"connecting":true,"disconnecting":false,)"
                R"("status":"reasserting","perAppMode":false,"appRuleCount":0})");
  expectSuccess(run({"disconnect"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":true,)"
                R"("status":"disconnecting","perAppMode":false,"appRuleCount":0})");
  const Json stored = readPreferences(home_.path());
  EXPECT_EQ(stored["profiles"][0]["connection"]["status"], 5);
  EXPECT_EQ(stored["profiles"][0]["connection"]["type"], "ikev2Connection");
  EXPECT_EQ(stored["profiles"][1], toolProfile("SECOND", 1));

  seed({toolProfile("ODD", 9, Json::array({appRule("com.example.mail")}))});
  expectSuccess(run({"status"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":false,)"
                R"("status":"unknown","perAppMode":true,"appRuleCount":1})");
}

TEST_F(Cli, PlatformFaultsReachTheCallerWithTheirPrefix) {
  seed({toolProfile("ONE", 3)}, {{"loadAll", "Permission denied: /Library/Preferences"}});
  const std::string before = readFile(preferencesPath(home_.path()));
  for (const char* command : {"status", "disconnect", "connect"}) {
    expectFailure(
        run({command}, kFullTunnel),
        R"(Failed to load packet tunnel preferences: Permission denied: \/Library\/Preferences)");
  }
  EXPECT_EQ(readFile(preferencesPath(home_.path())), before);
}

// Every wait ends at the deadline, 15 seconds from the start: a platform that never answers,
// and a tunnel that never goes down, here both at once.
TEST_F(Cli, EveryWaitEndsAtTheDeadline) {
  TemporaryDirectory other;
  seed({toolProfile("ONE", 3)}, {{"silent", {"loadAll"}}});
  seedPreferences(other.path(),
                  {{"profiles", {toolProfile("ONE", 3)}}, {"faults", {{"stopIgnored", true}}}});
  const auto began = std::chrono::steady_clock::now();
  const auto results = runToolsConcurrently(
      {{.arguments = {"status"}, .home = home_.path()},
       {.arguments = {"connect"}, .input = kFullTunnel, .home = other.path()}});
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(15));
  for (const auto& result : results) {
    EXPECT_EQ(result.standardError, kTimedOut);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.exitStatus, 1);
  }
}

// Two hundred runs of all four commands at once against one file that also holds another
// application's profile and members the tool does not own, with SIGKILL hitting some of them
// halfway: the file stays whole and readable, what is not the tool's is untouched, every run
// that ended by itself wrote exactly one document, and the next write leaves no temporary file.
TEST_F(Cli, TwoHundredProcessesAtOnceWithSomeKilledLoseNothing) {
  Json foreign = toolProfile("FOREIGN", 3);
  foreign["protocol"]["providerBundleIdentifier"] = "com.example.other.vpn";
  const Json unknown = {{"written by", "another version"}, {"list", {1, 2, 3}}};
  seedPreferences(home_.path(), {{"version", 7},
                                 {"profiles", {foreign, toolProfile("ONE", 3)}},
                                 {"faults", Json::object()},
                                 {"unknown", unknown}});
  const std::vector<std::string> commands = {"connect", "disconnect", "status", "update-app-rules"};
  std::vector<ToolInvocation> invocations;
  std::vector<std::size_t> killed;
  for (std::size_t index = 0; index < 200; ++index) {
    const std::string& command = commands[index % commands.size()];
    invocations.push_back({.arguments = {command},
                           .input = command == "connect" ? std::optional(kFullTunnel)
                                    : command == "update-app-rules"
                                        ? std::optional(R"({"excludedApps":[]})")
                                        : std::nullopt,
                           .home = home_.path()});
    if (index % 5 == 2) {
      killed.push_back(index);
    }
  }
  int ended = 0;
  for (const auto& result : runToolsConcurrently(invocations, killed)) {
    if (result.exitStatus == 128 + SIGKILL) {
      continue;
    }
    ++ended;
    expectOneDocument(result);
  }
  EXPECT_GE(ended, 160);

  const Json stored = readPreferences(home_.path());
  EXPECT_EQ(stored["version"], 7);
  EXPECT_EQ(stored["unknown"], unknown);
  EXPECT_EQ(profileWithIdentifier(stored, "FOREIGN"), foreign);
  EXPECT_EQ(run({"connect"}, kFullTunnel).exitStatus, 0);
  for (const auto& entry :
       std::filesystem::directory_iterator(home_ / ".local/state/kelo-ne-manager")) {
    EXPECT_EQ(entry.path().filename().string().find(".vpn-preferences.json.kelo-ne-manager-write-"),
              std::string::npos)
        << entry.path();
  }
}

// A user at the limit of their processes can start no thread and no child: every command still
// ends with one document.
TEST_F(Cli, NoProcessToSpareStillGivesOneDocument) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root to run the tool as another user";
  }
  ASSERT_EQ(chown(home_.path().c_str(), 65534, 65534), 0);
  const auto nobody = withoutProcessesToSpare();
  expectSuccess(run({"status"}, std::nullopt, nobody), kNotConfigured);
  EXPECT_EQ(run({"connect"}, kFullTunnel, nobody).exitStatus, 0);
  EXPECT_EQ(readPreferences(home_.path())["profiles"].size(), 1u);
}

// A status document that cannot be delivered ends with exit status 1 and a failure.
TEST_F(Cli, AStatusDocumentThatCannotBeWrittenEndsWithStatusOne) {
  if (exists("/dev/full")) {
    expectFailure(run({"status"}, std::nullopt, shell("exec >/dev/full")),
                  "The status document could not be written to standard output: No space left "
                  "on device.");
  }
  expectFailure(run({"status"}, std::nullopt, shell("exec >&-")),
                "The status document could not be written to standard output: Bad file "
                "descriptor.");
}

}  // namespace
}  // namespace kelo::testing
