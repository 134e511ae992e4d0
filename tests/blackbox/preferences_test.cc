// The simulated platform's preferences file through the binary: what it refuses to read, the
// files it leaves alone, and the file it keeps when a write cannot be made.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

// As the failure document writes it: every slash escaped.
std::string escaped(const std::string& text) {
  std::string result;
  for (const char c : text) {
    result += c == '/' ? "\\/" : std::string(1, c);
  }
  return result;
}

class Preferences : public ToolTest {
 protected:
  std::string folder() const { return home_ / ".local/state/kelo-ne-manager"; }
  std::string file() const { return preferencesPath(home_.path()); }
};

// Whatever stands where the preferences should be, each run ends at once with the reason.
TEST_F(Preferences, WhatCannotBeReadIsRefusedWithTheReason) {
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const auto write = [this](const std::string& contents) { writeFile(file(), contents, 0600); };
  // clang-format off
  const std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {[&] { write(""); }, escaped(file()) + " is not valid JSON."},
      {[&] { write(R"({"profiles":{}})"); }, R"(\"profiles\" is not a list.)"},
      {[&] { write(R"({"profiles":[{"identifier":"A"},{"identifier":"A"}]})"); }, R"(profile 1 has the \"identifier\" of an earlier profile.)"},
      {[&] { write(deep); }, escaped(file()) + " nests deeper than 64 levels."},
      {[&] { write(std::string((16 << 20) + 1, ' ')); }, escaped(file()) + " is larger than 16 MiB."},
      {[&] { write(R"({"profiles":[],"faults":)" + deep + "}"); }, escaped(file()) + " nests deeper than 64 levels."},
      // No writer: a read would block. A read of /dev/zero would never end.
      {[&] { ASSERT_EQ(mkfifo(file().c_str(), 0600), 0); }, escaped(file()) + " is not a regular file."},
      {[&] { makeSymlink("/dev/zero", file()); }, escaped(file()) + " is a symbolic link."},
      {[&] { chmod(folder().c_str(), 0777); },
       escaped(folder()) + " is not owned by the user, or others may write to it."},
  };
  // clang-format on
  for (const auto& [prepare, reason] : cases) {
    std::filesystem::remove_all(folder());
    makeDirectories(folder());
    chmod(folder().c_str(), 0700);
    prepare();
    // A changing command's lock never stands in the way of the reason.
    for (const char* command : {"status", "disconnect"}) {
      const auto result = run({command});
      EXPECT_EQ(result.standardError,
                R"({"error":"Failed to load packet tunnel preferences: The VPN preferences )"
                R"(could not be read: )" +
                    reason + R"("})")
          << command;
      EXPECT_EQ(result.exitStatus, 1);
    }
  }
}

// A temporary file left by a writer that died goes with the next write, not with a read; a file
// of the folder that is not one of the tool's own is never touched.
TEST_F(Preferences, OnlyAWriteRemovesTheToolsOwnLeftovers) {
  seed({toolProfile("ONE", 3)});
  const std::string orphan = folder() + "/.vpn-preferences.json.kelo-ne-manager-write-Ab12Cd";
  const std::string lookalike = folder() + "/.vpn-preferences.json.kelo-ne-manager-write-XYZ789";
  writeFile(orphan, "{\"profiles\":");
  writeFile(file() + ".bak", "the user's copy", 0600);
  makeDirectories(lookalike);
  EXPECT_EQ(run({"status"}).exitStatus, 0);
  EXPECT_TRUE(exists(orphan));
  EXPECT_EQ(run({"disconnect"}).exitStatus, 0);
  EXPECT_FALSE(exists(orphan));
  EXPECT_TRUE(exists(lookalike));
  EXPECT_EQ(readFile(file() + ".bak"), "the user's copy");
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 5);
}

// Only a change creates the store's folder: "status", "wait", and a "disconnect", "remove" or
// "update-app-rules" with nothing to change leave an empty home as they found it. And nothing
// is created in a home of another user's (a root helper run with the user's HOME): the change
// fails with the reason.
TEST_F(Preferences, OnlyAChangeCreatesTheFolderAndOnlyInTheUsersHome) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> unchanging = {
      {"status", std::nullopt},
      {"wait", R"({"timeoutSeconds":0.1})"},
      {"disconnect", std::nullopt},
      {"remove", std::nullopt},
      {"update-app-rules", R"({"excludedApps":[]})"}};
  for (const auto& [command, input] : unchanging) {
    run({command}, input);
    EXPECT_FALSE(exists(home_ / ".local")) << command;
  }
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, to run in a home that belongs to another user";
  }
  ASSERT_EQ(chown(home_.path().c_str(), 4242, 4242), 0);
  expectFailure(run({"connect"}, connectRequest().dump()),
                "Failed to save packet tunnel preferences: The VPN preferences could not be "
                "written: " +
                    escaped(home_.path()) + " belongs to another user; nothing is created in it.");
  EXPECT_FALSE(exists(home_ / ".local"));
}

// What stands where a lock file should be and is none (a link, a FIFO, an empty folder, a file
// of another user's) is replaced, and never followed or waited on: the run goes on at once.
// Only a folder with something in it is kept: then a stop cannot be written, which changes
// nothing, and the disconnect answers the status that is stored, still connected.
TEST_F(Preferences, WhatStandsInALockFilesPlaceIsReplacedOrStopsNothingForLong) {
  const std::string store = home_ / ".local/state/kelo-ne-manager/";
  const std::vector<std::string> locks = {"vpn-preferences.lock", "kelo-ne-manager-queue.lock",
                                          "kelo-ne-manager-turn-00000000000000000001.lock"};
  const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> standIns = {
      {"a link", [&](const std::string& path) { makeSymlink(home_ / "elsewhere", path); }},
      {"a FIFO", [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
      {"an empty folder", [](const std::string& path) { makeDirectories(path); }},
      {"a file of another user's",
       [](const std::string& path) {
         writeFile(path, "", 0600);
         ASSERT_EQ(chown(path.c_str(), 4242, 4242), 0);
       }},
  };
  for (const auto& lock : locks) {
    for (const auto& [what, plant] : standIns) {
      if (what == "a file of another user's" && geteuid() != 0) {
        continue;  // only root can give a file away
      }
      seed({toolProfile("ONE", 3)});
      std::filesystem::remove_all(store + lock);
      plant(store + lock);
      const auto began = std::chrono::steady_clock::now();
      expectSuccess(run({"disconnect"}),
                    R"({"configured":true,"connected":false,"connecting":false,)"
                    R"("disconnecting":true,"status":"disconnecting",)"
                    R"("perAppMode":false,"appRuleCount":0})");
      EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5)) << lock << what;
      EXPECT_FALSE(exists(home_ / "elsewhere")) << lock << what;
      struct stat status {};
      // Turns are removed by their runs; the other locks stay, as regular files of the user's.
      if (lock.find("turn") == std::string::npos) {
        ASSERT_EQ(lstat((store + lock).c_str(), &status), 0) << lock << what;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << lock << what;
        EXPECT_EQ(status.st_uid, geteuid()) << lock << what;
      } else {
        EXPECT_FALSE(exists(store + lock)) << lock << what;
      }
    }
  }

  seed({toolProfile("ONE", 3)});
  std::filesystem::remove_all(folder() + "/vpn-preferences.lock");
  makeDirectories(folder() + "/vpn-preferences.lock/kept");
  expectSuccess(run({"disconnect"}),
                R"({"configured":true,"connected":true,"connecting":false,"disconnecting":false,)"
                R"("status":"connected","perAppMode":false,"appRuleCount":0})");
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 3);
}

// The state folder on a file system with no room left: the save fails with its prefix, a stop
// that cannot be written changes nothing (the disconnect answers the stored status, and a remove
// does not wait for it), and the file as it was stays. (A small tmpfs in a private mount
// namespace, so root only.)
TEST_F(Preferences, AFullFileSystemKeepsThePreviousFileAndStatus) {
  if (!fakeRootAvailable()) {
    GTEST_SKIP() << "needs root and mount namespaces for a small file system";
  }
  seed({toolProfile("ONE", 3)});
  const std::string before = readFile(file());
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
  const auto inFullFolder = [&](const std::string& command, std::optional<std::string> input) {
    return runTool({.arguments = {command},
                    .input = std::move(input),
                    .home = home_.path(),
                    .prefix = {"unshare", "-m", "--propagation", "private", "sh", "-c", script}});
  };
  const auto connected =
      inFullFolder("connect", R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p",)"
                              R"("peerEndpoint":"e","allowedIps":"i","excludedApps":[]})");
  EXPECT_EQ(connected.exitStatus, 1);
  EXPECT_TRUE(connected.standardError.starts_with(
      R"({"error":"Failed to save packet tunnel preferences: The VPN preferences could not be )"
      R"(written: )"))
      << connected.standardError;
  EXPECT_NE(connected.standardError.find("No space left on device."), std::string::npos);
  EXPECT_EQ(readFile(home_ / "after.json"), before);

  expectSuccess(inFullFolder("disconnect", std::nullopt),
                R"({"configured":true,"connected":true,"connecting":false,"disconnecting":false,)"
                R"("status":"connected","perAppMode":false,"appRuleCount":0})");
  EXPECT_EQ(readFile(home_ / "after.json"), before);
  EXPECT_EQ(readFile(home_ / "listing"),
            "filler\nkelo-ne-manager-queue.lock\nvpn-preferences.json\nvpn-preferences.lock\n");

  // A remove fails at the removal without waiting out the tunnel's stop, which never happened:
  // well under the five seconds that a stop the tunnel ignores is given.
  const auto began = std::chrono::steady_clock::now();
  const auto removed = inFullFolder("remove", std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(4));
  EXPECT_EQ(removed.exitStatus, 1);
  EXPECT_TRUE(removed.standardError.starts_with(
      R"({"error":"Failed to remove packet tunnel preferences: The VPN preferences could not be )"
      R"(written: )"))
      << removed.standardError;
  EXPECT_EQ(readFile(home_ / "after.json"), before);
}

}  // namespace
}  // namespace kelo::testing
