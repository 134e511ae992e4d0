// The tool's command line as the calling application sees it: exact bytes on standard output
// and standard error, the exit status, and the preferences file afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "blackbox/tool_runner.h"
#include "support/test_support.h"

namespace kelo::testing {
namespace {

const std::string kNotConfigured =
    R"({"configured":false,"connected":false,"connecting":false,"disconnecting":false,)"
    R"("status":"invalid","perAppMode":false,"appRuleCount":0})";

std::string failure(const std::string& escapedMessage) {
  return R"({"error":")" + escapedMessage + R"("})";
}

class Cli : public ::testing::Test {
 protected:
  ToolRun run(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt) {
    return runTool(
        {.arguments = std::move(arguments), .input = std::move(input), .home = home_.path()});
  }
  void seed(const std::vector<Json>& profiles, const Json& faults = Json::object()) {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
  }
  void expectFailure(const ToolRun& result, const std::string& escapedMessage) {
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_EQ(result.standardError, failure(escapedMessage));
    EXPECT_EQ(result.exitStatus, 1);
  }
  void expectSuccess(const ToolRun& result, const std::string& document) {
    EXPECT_EQ(result.standardOutput, document);
    EXPECT_EQ(result.standardError, "");
    EXPECT_EQ(result.exitStatus, 0);
  }
  bool preferencesExist() const { return exists(preferencesPath(home_.path())); }

  TemporaryDirectory home_;
};

TEST_F(Cli, AMissingCommandWordGetsTheUsage) {
  expectFailure(run({}), "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>");
}

TEST_F(Cli, CommandWordsMatchExactly) {
  expectFailure(run({"CONNECT"}), "Unknown command: CONNECT");
  expectFailure(run({" status"}), "Unknown command:  status");
  expectFailure(run({"status "}), "Unknown command: status ");
  expectFailure(run({""}), "Unknown command: ");
  expectFailure(run({"a/b"}), R"(Unknown command: a\/b)");
  expectSuccess(run({"status", "--verbose", "extra"}), kNotConfigured);
}

TEST_F(Cli, StatusAndDisconnectNeverReadStandardInput) {
  for (const char* command : {"status", "disconnect"}) {
    const auto result = run({command}, std::string("{\"excludedApps\":[]}"));
    expectSuccess(result, kNotConfigured);
    EXPECT_EQ(result.inputOffset, 0) << command;
  }
  EXPECT_FALSE(preferencesExist());
}

TEST_F(Cli, RequestCommandsNeedAPayloadBeforeTouchingTheProfiles) {
  seed({}, {{"loadAll", "must not be reached"}});
  for (const char* command : {"connect", "update-app-rules"}) {
    expectFailure(run({command}), "Expected JSON payload on stdin.");
    expectFailure(run({command}, std::string("")), "Expected JSON payload on stdin.");
    expectFailure(run({command}, std::string(" \n")),
                  "The request is not valid JSON at byte 3: unexpected end of input; expected "
                  "'[', '{', or a literal.");
  }
  expectFailure(run({"update-app-rules"}, std::string("{}")),
                R"(The request has no member \"excludedApps\"; it must be a list of strings.)");
  expectFailure(
      run({"connect"}, std::string(R"({"privateKey":"k","address":"a","dns":"d",)"
                                   R"("peerPublicKey":"p","peerEndpoint":"e",)"
                                   R"("allowedIps":"i","mtu":"1280","excludedApps":[]})")),
      R"(Member \"mtu\" of the request is a string; expected an integer.)");
}

TEST_F(Cli, HostileRequestsGetOneFailureDocument) {
  const std::vector<std::string> hostile = {
      std::string("{\"excludedApps\":[\"\xc3\x28\"]}"),
      std::string(200000, '[') + std::string(200000, ']'),
      std::string(70u << 20, ' '),
      std::string("{\"excludedApps\":[\"a\0b\"]}", 24),
      std::string(R"({"excludedApps":["\u0000.app", "\ud800"]})"),
  };
  for (const auto& request : hostile) {
    const auto result = run({"update-app-rules"}, request);
    EXPECT_EQ(result.exitStatus, 1);
    EXPECT_EQ(result.standardOutput, "");
    const Json document = Json::parse(result.standardError);
    ASSERT_EQ(document.size(), 1u);
    EXPECT_TRUE(document["error"].is_string());
  }
}

// None of the parser test documents is a valid request: each must end in exactly one failure
// document, never in a crash, a hang or a touched preferences file.
TEST_F(Cli, EveryParserTestDocumentIsRefused) {
  const std::filesystem::path corpus = KELO_JSON_CORPUS;
  ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
  int documents = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string request = readFile(entry.path().string());
    for (const char* command : {"connect", "update-app-rules"}) {
      const auto result = run({command}, request);
      SCOPED_TRACE(entry.path().filename().string() + " " + command);
      EXPECT_EQ(result.exitStatus, 1);
      EXPECT_EQ(result.standardOutput, "");
      const Json document = Json::parse(result.standardError, nullptr, false);
      ASSERT_TRUE(document.is_object());
      EXPECT_EQ(document.size(), 1u);
      EXPECT_TRUE(document["error"].is_string());
    }
    ++documents;
  }
  EXPECT_EQ(documents, 318);
  EXPECT_FALSE(preferencesExist());
}

TEST_F(Cli, StatusReportsTheFirstToolProfileExactly) {
  Json plain = toolProfile("PLAIN", 3);
  plain["connection"]["type"] = "ikev2Connection";
  seed({plain, toolProfile("SECOND", 1)});
  expectSuccess(run({"status"}),
                R"({"configured":true,"connected":true,"connecting":false,"disconnecting":false,)"
                R"("status":"connected","perAppMode":false,"appRuleCount":0})");
  seed({toolProfile("ODD", 9, Json::array({appRule("com.example.mail")}))});
  expectSuccess(run({"status"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":false,)"
                R"("status":"unknown","perAppMode":true,"appRuleCount":1})");
}

TEST_F(Cli, DisconnectStopsThePlainConnectionToo) {
  Json plain = toolProfile("PLAIN", 4);
  plain["connection"]["type"] = "ikev2Connection";
  seed({plain});
  expectSuccess(run({"disconnect"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":true,)"
                R"("status":"disconnecting","perAppMode":false,"appRuleCount":0})");
  const Json stored = readPreferences(home_.path());
  EXPECT_EQ(stored["profiles"][0]["connection"]["status"], 5);
  EXPECT_EQ(stored["profiles"][0]["connection"]["type"], "ikev2Connection");
}

TEST_F(Cli, AWriteClearsTemporaryFilesThatADeadWriterLeft) {
  seed({toolProfile("ONE", 3)});
  const std::string orphan =
      home_ / ".local/state/kelo-ne-manager/.vpn-preferences.json.kelo-ne-manager-write-Ab12Cd";
  writeFile(orphan, "{\"profiles\":");
  EXPECT_EQ(run({"status"}).exitStatus, 0);
  EXPECT_TRUE(exists(orphan));  // reading never writes
  EXPECT_EQ(run({"disconnect"}).exitStatus, 0);
  EXPECT_FALSE(exists(orphan));
  EXPECT_EQ(readPreferences(home_.path())["profiles"][0]["connection"]["status"], 5);
}

TEST_F(Cli, PlatformFaultsReachTheCallerWithTheirPrefix) {
  seed({toolProfile("ONE", 3)}, {{"loadAll", "Permission denied: /Library/Preferences"}});
  const std::string before = readFile(preferencesPath(home_.path()));
  for (const char* command : {"status", "disconnect"}) {
    expectFailure(
        run({command}),
        R"(Failed to load packet tunnel preferences: Permission denied: \/Library\/Preferences)");
  }
  EXPECT_EQ(readFile(preferencesPath(home_.path())), before);

  writeFile(preferencesPath(home_.path()), "");  // zero bytes are not a document
  std::string path;  // as the failure document writes it, every slash escaped
  for (const char c : preferencesPath(home_.path())) {
    path += c == '/' ? "\\/" : std::string(1, c);
  }
  expectFailure(
      run({"disconnect"}),
      R"(Failed to load packet tunnel preferences: The VPN preferences could not be read: )" +
          path + " is not valid JSON.");

  writeFile(preferencesPath(home_.path()), R"({"profiles":{}})");
  expectFailure(
      run({"status"}),
      R"(Failed to load packet tunnel preferences: The VPN preferences could not be read: \"profiles\" is not a list.)");
}

TEST_F(Cli, ASilentPlatformEndsInTheTimeOutAfterFifteenSeconds) {
  seed({toolProfile("ONE", 3)}, {{"silent", {"loadAll"}}});
  const auto began = std::chrono::steady_clock::now();
  const auto result = run({"status"});
  const auto took = std::chrono::steady_clock::now() - began;
  expectFailure(result, "Timed out waiting for Network Extension manager response.");
  EXPECT_GE(took, std::chrono::seconds(15));
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
  const std::string request =
      R"({"privateKey":"k","address":"10.0.0.2/32","dns":"1.1.1.1","peerPublicKey":"p",)"
      R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0","excludedApps":[]})";
  const std::vector<std::string> commands = {"connect", "disconnect", "status", "update-app-rules"};
  std::vector<ToolInvocation> invocations;
  std::vector<std::size_t> killed;
  for (std::size_t index = 0; index < 200; ++index) {
    const std::string& command = commands[index % commands.size()];
    invocations.push_back({.arguments = {command},
                           .input = command == "connect" ? std::optional(request)
                                    : command == "update-app-rules"
                                        ? std::optional(R"({"excludedApps":[]})")
                                        : std::nullopt,
                           .home = home_.path()});
    if (index % 5 == 2) {
      killed.push_back(index);
    }
  }
  const auto results = runToolsConcurrently(invocations, killed);
  int ended = 0;
  for (const auto& result : results) {
    if (result.exitStatus != 0 && result.exitStatus != 1) {
      EXPECT_EQ(result.exitStatus, 128 + SIGKILL);
      continue;
    }
    ++ended;
    const bool succeeded = result.exitStatus == 0;
    EXPECT_EQ(succeeded ? result.standardError : result.standardOutput, "");
    const Json document =
        Json::parse(succeeded ? result.standardOutput : result.standardError, nullptr, false);
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document.size(), succeeded ? 7u : 1u);
  }
  EXPECT_GE(ended, 160);

  const Json stored = readPreferences(home_.path());
  EXPECT_EQ(stored["version"], 7);
  EXPECT_EQ(stored["unknown"], unknown);
  EXPECT_EQ(profileWithIdentifier(stored, "FOREIGN"), foreign);
  EXPECT_EQ(run({"status"}).exitStatus, 0);

  EXPECT_EQ(run({"connect"}, request).exitStatus, 0);
  for (const auto& entry :
       std::filesystem::directory_iterator(home_ / ".local/state/kelo-ne-manager")) {
    EXPECT_EQ(entry.path().filename().string().find(".vpn-preferences.json.kelo-ne-manager-write-"),
              std::string::npos)
        << entry.path();
  }
}

// Hostile surroundings: what the tool finds in its state folder never makes it hang, crash or
// lose a file, and a document that cannot be delivered ends with exit status 1.
class HostileState : public Cli {
 protected:
  std::string folder() const { return home_ / ".local/state/kelo-ne-manager"; }
  std::string escapedPreferencesPath() const {
    std::string path;
    for (const char c : preferencesPath(home_.path())) {
      path += c == '/' ? "\\/" : std::string(1, c);
    }
    return path;
  }
  void expectUnreadable(const std::string& why) {
    expectFailure(run({"status"}),
                  "Failed to load packet tunnel preferences: The VPN preferences "
                  "could not be read: " +
                      escapedPreferencesPath() + why);
  }
};

TEST_F(HostileState, APreferencesFileThatIsNoRegularFileIsRefusedAtOnce) {
  makeDirectories(folder());
  ASSERT_EQ(mkfifo(preferencesPath(home_.path()).c_str(), 0600), 0);  // no writer: reads block
  expectUnreadable(" is not a regular file.");
  std::filesystem::remove(preferencesPath(home_.path()));
  makeSymlink("/dev/zero", preferencesPath(home_.path()));  // never ends
  expectUnreadable(" is a symbolic link.");
}

TEST_F(HostileState, DeepNestingIsRefusedWithoutCrashing) {
  writeFile(preferencesPath(home_.path()), std::string(100000, '[') + std::string(100000, ']'),
            0600);
  expectUnreadable(" nests deeper than 64 levels.");
  writeFile(
      preferencesPath(home_.path()),
      R"({"profiles":[],"faults":)" + std::string(100000, '[') + std::string(100000, ']') + "}",
      0600);
  expectUnreadable(" nests deeper than 64 levels.");
}

TEST_F(HostileState, OnlyTheToolsOwnTemporaryFilesAreRemoved) {
  seed({toolProfile("ONE", 3)});
  const std::string backup = preferencesPath(home_.path()) + ".bak";
  writeFile(backup, "the user's copy", 0600);
  makeDirectories(folder() + "/.vpn-preferences.json.kelo-ne-manager-write-XYZ789");
  expectSuccess(run({"disconnect"}),
                R"({"configured":true,"connected":false,"connecting":false,"disconnecting":true,)"
                R"("status":"disconnecting","perAppMode":false,"appRuleCount":0})");
  EXPECT_EQ(readFile(backup), "the user's copy");
  EXPECT_TRUE(exists(folder() + "/.vpn-preferences.json.kelo-ne-manager-write-XYZ789"));
}

TEST_F(HostileState, AFolderOthersMayWriteToAndALinkedLockAreRefused) {
  seed({toolProfile("ONE", 3)});
  chmod(folder().c_str(), 0777);
  expectFailure(
      run({"status"}),
      "Failed to load packet tunnel preferences: The VPN preferences could not be read: " +
          escapedPreferencesPath().substr(0, escapedPreferencesPath().rfind("\\/")) +
          " is not owned by the user, or others may write to it.");
  chmod(folder().c_str(), 0700);

  makeSymlink(home_ / "elsewhere", folder() + "/vpn-preferences.lock");
  const auto result = run({"disconnect"});  // stopping a running tunnel writes the file
  EXPECT_EQ(result.exitStatus, 0);          // a stop reports what it could; the file is left alone
  EXPECT_FALSE(exists(home_ / "elsewhere"));
  EXPECT_EQ(readPreferences(home_.path())["profiles"][0]["connection"]["status"], 3);
}

TEST_F(HostileState, AStatusDocumentThatCannotBeWrittenEndsWithStatusOne) {
  if (!exists("/dev/full")) {
    GTEST_SKIP() << "needs /dev/full, a device that is always full (Linux)";
  }
  const auto result = runTool({.arguments = {"status"},
                               .home = home_.path(),
                               .prefix = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_EQ(result.standardError,
            failure("The status document could not be written to standard output: No space left "
                    "on device."));
}

TEST_F(HostileState, BytesAfterTheRequestMakeItInvalid) {
  using namespace std::string_literals;
  expectFailure(run({"update-app-rules"}, "{\"excludedApps\":[]}\0{\"x\":1}"s),
                "The request is not valid JSON at byte 20: a NUL byte.");
  EXPECT_FALSE(preferencesExist());
}

// The state folder on a file system with no room left: the save fails with its prefix and the
// file as it was stays. (A small tmpfs in a private mount namespace, so root only.)
TEST_F(HostileState, AFullFileSystemFailsTheSaveAndKeepsThePreviousFile) {
  if (!fakeRootAvailable()) {
    GTEST_SKIP() << "needs root and mount namespaces for a small file system";
  }
  seed({toolProfile("ONE", 1)});
  const std::string before = readFile(preferencesPath(home_.path()));
  writeFile(home_ / "staged.json", before, 0600);
  const std::string script =
      "state=$HOME/.local/state/kelo-ne-manager\n"
      "mount -t tmpfs -o size=64k,mode=0700 tmpfs \"$state\"\n"
      "cp \"$HOME/staged.json\" \"$state/vpn-preferences.json\"\n"
      "dd if=/dev/zero of=\"$state/filler\" bs=1k 2>/dev/null\n"
      "\"$0\" \"$@\"\n"
      "status=$?\n"
      "cp \"$state/vpn-preferences.json\" \"$HOME/after.json\"\n"
      "ls -A \"$state\" > \"$HOME/listing\"\n"
      "exit $status\n";
  const auto result =
      runTool({.arguments = {"connect"},
               .input = R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p",)"
                        R"("peerEndpoint":"e","allowedIps":"i","excludedApps":[]})",
               .home = home_.path(),
               .prefix = {"unshare", "-m", "--propagation", "private", "sh", "-c", script}});
  EXPECT_EQ(result.exitStatus, 1);
  EXPECT_TRUE(result.standardError.starts_with(
      R"({"error":"Failed to save packet tunnel preferences: The VPN preferences could not be )"
      R"(written: )"))
      << result.standardError;
  EXPECT_NE(result.standardError.find("No space left on device."), std::string::npos);
  EXPECT_EQ(readFile(home_ / "after.json"), before);
  EXPECT_EQ(readFile(home_ / "listing"), "filler\nvpn-preferences.json\nvpn-preferences.lock\n");
}

}  // namespace
}  // namespace kelo::testing
