// The tool's command line as the calling application sees it: exact bytes on standard output
// and standard error, the exit status, and the preferences file afterwards.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iterator>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

using namespace std::string_literals;

const std::string kFullTunnel = connectRequest().dump();

// A shell prefix that changes what the tool starts with, then runs it.
std::vector<std::string> shell(const std::string& script) {
  return {"/bin/sh", "-c", script + "; exec \"$0\" \"$@\""};
}

// A prefix that lowers one resource limit ("RLIMIT_FSIZE", say) before the tool runs, on Linux
// and on a Mac alike. Python ignores SIGPIPE and SIGXFSZ, which an exec would pass on.
std::vector<std::string> withLimit(const std::string& resource, long long value) {
  return {"/usr/bin/python3", "-c",
          "import os, resource, signal, sys\n"
          "for ignored in (signal.SIGPIPE, signal.SIGXFSZ):\n"
          "    signal.signal(ignored, signal.SIG_DFL)\n"
          "value = int(sys.argv[2])\n"
          "resource.setrlimit(getattr(resource, sys.argv[1]), (value, value))\n"
          "os.execv(sys.argv[3], sys.argv[3:])\n",
          resource, std::to_string(value)};
}

class Cli : public ToolTest {
 protected:
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
  bool temporaryFileLeft() const {
    return std::ranges::any_of(
        std::filesystem::directory_iterator(home_ / ".local/state/kelo-ne-manager"),
        [](const auto& entry) {
          return entry.path().filename().string().starts_with(".vpn-preferences.json.");
        });
  }
  // What came of a run with the standard streams of a hostile caller (hostile_streams.py).
  Json hostile(const std::string& scenario, double signalAfter,
               std::vector<std::string> arguments) const {
    const auto result = runTool({.arguments = std::move(arguments),
                                 .home = home_.path(),
                                 .prefix = {"/usr/bin/python3", KELO_HOSTILE_STREAMS, scenario,
                                            std::to_string(signalAfter), "--"},
                                 .recorded = false});
    return Json::parse(result.standardOutput);
  }
};

TEST_F(Cli, CommandWordsMatchExactly) {
  expectFailure(run({}), "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>");
  for (const std::string word : {"CONNECT", " status", "status ", ""}) {
    expectFailure(run({word}), "Unknown command: " + word);
  }
  expectFailure(run({"a/b"}), R"(Unknown command: a\/b)");
  expectSuccess(run({"status", "--verbose", "extra"}), kNotConfigured);
}

TEST_F(Cli, StandardInputIsReadOnlyByTheCommandsThatTakeARequest) {
  for (const char* command : {"status", "disconnect"}) {
    const auto result = run({command}, R"({"excludedApps":[]})");
    EXPECT_EQ(result.inputOffset, 0) << command;
    expectSuccess(result, kNotConfigured);
    expectSuccess(run({command}, std::nullopt, shell("exec <&-")), kNotConfigured);
  }
  // Empty, closed or blank: refused before any profile is loaded, which here would fail.
  seed({toolProfile("ONE", 3)}, {{"loadAll", "Denied: /Library/Preferences"}});
  const std::string before = readFile(preferencesPath(home_.path()));
  for (const char* command : {"connect", "update-app-rules"}) {
    expectFailure(run({command}), "Expected JSON payload on stdin.");
    expectFailure(run({command}, std::nullopt, shell("exec <&-")),
                  "Expected JSON payload on stdin.");
    expectFailure(run({command}, " \n"),
                  "The request is not valid JSON at byte 3: unexpected end of input; expected "
                  "'[', '{', or a literal.");
    expectFailure(run({command}, kFullTunnel),
                  R"(Failed to load packet tunnel preferences: Denied: \/Library\/Preferences)");
  }
  EXPECT_EQ(readFile(preferencesPath(home_.path())), before);

  // A request that arrives in two parts on a pipe that does not block is read to its end.
  seed({});
  const std::string script =
      "import os, subprocess, sys, time\n"
      "read, write = os.pipe(); os.set_blocking(read, False)\n"
      "tool = subprocess.Popen(sys.argv[1:], stdin=read); os.close(read)\n"
      "request = sys.stdin.buffer.read(); os.write(write, request[:20]); time.sleep(0.3)\n"
      "os.write(write, request[20:]); os.close(write); sys.exit(tool.wait())\n";
  EXPECT_EQ(run({"connect"}, kFullTunnel, {"/usr/bin/python3", "-c", script}).exitStatus, 0);
  EXPECT_EQ(stored()["profiles"].size(), 1u);
}

// Runs that change profiles take their turns in the order they asked, whoever among them dies
// on the way: here one holds the lock in its restart pause and six more come 0.1 s apart, one
// killed while it waits and the holder killed while it holds, and the last one, a connect, wins.
// The lock belongs to the store however its home is spelled, is usable whatever umask a run had,
// and leaves no turn behind.
TEST_F(Cli, QueuedRequestsRunInTheOrderTheyAsked) {
  const auto later = [this](double seconds, const std::string& command,
                            const std::string& home = {}) {
    return ToolInvocation{.arguments = {command},
                          .input = command == "connect" ? std::optional(kFullTunnel) : std::nullopt,
                          .home = home.empty() ? home_.path() : home,
                          .prefix = shell("sleep " + std::to_string(seconds))};
  };
  for (int trial = 0; trial < 2; ++trial) {
    seed({toolProfile("ONE", 3)});
    std::vector<ToolInvocation> queue = {later(0, "connect")};
    for (int index = 1; index <= 6; ++index) {
      queue.push_back(later(0.1 * index, index % 2 == 1 ? "disconnect" : "connect"));
    }
    queue[0].signalAfter = std::pair{SIGKILL, std::chrono::microseconds(500'000)};
    queue[2].signalAfter = std::pair{SIGKILL, std::chrono::microseconds(350'000)};
    const auto results = runToolsConcurrently(queue);
    for (std::size_t index : {1, 3, 4, 5, 6}) {
      EXPECT_EQ(results[index].exitStatus, 0) << index << results[index].standardError;
    }
    EXPECT_EQ(results[6].standardOutput, R"({"configured":true,"connected":false,)"
                                         R"("connecting":true,"disconnecting":false,)"
                                         R"("status":"connecting","perAppMode":false,)"
                                         R"("appRuleCount":0})");
    EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 2) << trial;
  }

  // A disconnect that spells the home with a trailing slash waits for the connect all the same,
  // and comes last; a run under a umask that takes its owner's write bits leaves every folder
  // and file usable.
  seed({toolProfile("ONE", 3)});
  auto results =
      runToolsConcurrently({later(0, "connect"), later(0.2, "disconnect", home_.path() + "/")});
  EXPECT_EQ(results[1].exitStatus, 0) << results[1].standardError;
  EXPECT_EQ(stored()["profiles"][0]["connection"]["status"], 5);
  std::filesystem::remove_all(home_ / ".local");
  EXPECT_EQ(run({"connect"}, kFullTunnel, shell("umask 0277")).exitStatus, 0);
  EXPECT_EQ(run({"disconnect"}).exitStatus, 0);
  EXPECT_EQ(run({"connect"}, kFullTunnel, shell("umask 0277")).exitStatus, 0);
  const auto mode = [](const std::string& path) {
    return std::filesystem::status(path).permissions() & std::filesystem::perms::all;
  };
  using enum std::filesystem::perms;
  for (const char* folder : {".local", ".local/state", ".local/state/kelo-ne-manager"}) {
    EXPECT_EQ(mode(home_ / folder), owner_all) << folder;
  }
  std::vector<std::string> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(home_ / ".local/state/kelo-ne-manager")) {
    files.push_back(entry.path().filename());
    EXPECT_EQ(mode(entry.path()), owner_read | owner_write) << files.back();
  }
  std::ranges::sort(files);
  EXPECT_EQ(files, (std::vector<std::string>{"kelo-ne-manager-queue.lock", "vpn-preferences.json",
                                             "vpn-preferences.lock"}));
}

// Numbers are quoted as written, whatever their sign; nothing may follow the request.
TEST_F(Cli, RequestsThatCannotBeDecodedSayWhereAndWhat) {
  const std::string prefix = kFullTunnel.substr(0, kFullTunnel.size() - 1) + ",";
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {prefix + R"("mtu":1e3})", R"(Member \"mtu\" of the request is 1e3; expected an integer.)"},
      {prefix + R"("mtu":1280.50})", R"(Member \"mtu\" of the request is 1280.50; expected an integer.)"},
      {prefix + R"("mtu":-9223372036854775809})",
       R"(Member \"mtu\" of the request is -9223372036854775809, which does not fit in a signed 64-bit integer.)"},
      {prefix + R"("keepaliveSeconds":9223372036854775808})",
       R"(Member \"keepaliveSeconds\" of the request is 9223372036854775808, which does not fit in a signed 64-bit integer.)"},
      {kFullTunnel + "\0{}"s,
       "The request is not valid JSON at byte " + std::to_string(kFullTunnel.size() + 1) + ": a NUL byte."},
  };
  // clang-format on
  for (const auto& [request, message] : cases) {
    expectFailure(run({"connect"}, request), message);
  }
  // A request of exactly 1 MiB is read whole; one byte more, even after a whole document, is
  // too large.
  const std::string mebibyte = kFullTunnel + std::string((1 << 20) - kFullTunnel.size(), ' ');
  expectFailure(run({"connect"}, mebibyte + " "), "The request is larger than 1 MiB.");
  EXPECT_FALSE(preferencesExist());
  // The first save makes the state folder that a fresh home lacks.
  EXPECT_EQ(run({"connect"}, mebibyte).exitStatus, 0);
  EXPECT_EQ(stored()["profiles"].size(), 1u);
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

// Every wait that needs no child ends at the deadline, 15 seconds from the start, here all at
// once: a platform that never answers a load or a save, a tunnel that never goes down, a reader
// that never takes the status document. Nothing here needs root, so it runs on a Mac too.
TEST_F(Cli, EveryWaitEndsAtTheDeadline) {
  TemporaryDirectory silentLoad, silentSave, stayingUp, undrained;
  seedPreferences(silentLoad.path(),
                  {{"profiles", {toolProfile("ONE", 3)}}, {"faults", {{"silent", {"loadAll"}}}}});
  seedPreferences(silentSave.path(),
                  {{"profiles", Json::array()}, {"faults", {{"silent", {"save"}}}}});
  seedPreferences(stayingUp.path(),
                  {{"profiles", {toolProfile("ONE", 3)}}, {"faults", {{"stopIgnored", true}}}});
  const auto began = std::chrono::steady_clock::now();
  auto results = runToolsConcurrently(
      {{.arguments = {"status"}, .home = silentLoad.path()},
       {.arguments = {"connect"}, .input = kFullTunnel, .home = silentSave.path()},
       {.arguments = {"connect"}, .input = kFullTunnel, .home = stayingUp.path()},
       {.arguments = {"status"},
        .home = undrained.path(),
        .prefix = {"/usr/bin/python3", KELO_HOSTILE_STREAMS, "undrained-stdout", "0", "--"},
        .recorded = false}});
  EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(15));
  const Json stuck = Json::parse(results.back().standardOutput);
  results.pop_back();
  EXPECT_EQ(stuck["stderr"],
            R"({"error":"The status document could not be written to standard output: the )"
            R"(stream took nothing before the run had to end."})");
  EXPECT_LT(stuck["seconds"], 16.0);
  for (const auto& result : results) {
    expectFailure(result, "Timed out waiting for Network Extension manager response.");
  }
  EXPECT_EQ(readPreferences(silentSave.path())["profiles"], Json::array());
}

// A stop signal ends a run that waits on the platform: at once before anything changed, at the
// next step once a save has begun (which never completes here), and under a quarter of a second
// either way.
TEST_F(Cli, AStopSignalEndsAWaitOnThePlatform) {
  TemporaryDirectory silentSave;
  seed({toolProfile("ONE", 3)}, {{"silent", {"loadAll"}}});
  seedPreferences(silentSave.path(),
                  {{"profiles", Json::array()}, {"faults", {{"silent", {"save"}}}}});
  const auto began = std::chrono::steady_clock::now();
  const auto results = runToolsConcurrently(
      {{.arguments = {"status"},
        .home = home_.path(),
        .signalAfter = std::pair{SIGINT, std::chrono::microseconds(300'000)}},
       {.arguments = {"connect"},
        .input = kFullTunnel,
        .home = silentSave.path(),
        .signalAfter = std::pair{SIGHUP, std::chrono::microseconds(300'000)}}});
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
  expectFailure(results[0], "Stopped by SIGINT before the request was complete.");
  expectFailure(results[1], "Stopped by SIGHUP before the request was complete.");
}

// A status document that cannot be delivered ends with exit status 1 and a failure, and never
// lands in a file the tool opened: a closed standard output is not the next free descriptor.
TEST_F(Cli, AStatusDocumentThatCannotBeWrittenEndsWithStatusOne) {
  if (exists("/dev/full")) {
    expectFailure(run({"status"}, std::nullopt, shell("exec >/dev/full")),
                  "The status document could not be written to standard output: No space left "
                  "on device.");
  }
  for (const char* command : {"status", "connect"}) {
    expectFailure(run({command}, kFullTunnel, shell("exec >&-")),
                  "The status document could not be written to standard output: Bad file "
                  "descriptor.");
  }
  EXPECT_EQ(stored()["profiles"].size(), 1u);

  // A file that takes only part of the document: what went out stays alone, with status 1.
  std::vector<std::string> toFile = {"/bin/sh", "-c", R"(exec >"$HOME/out"; exec "$0" "$@")"};
  std::ranges::copy(withLimit("RLIMIT_FSIZE", 100), std::back_inserter(toFile));
  const auto cut =
      runTool({.arguments = {"status"}, .home = home_.path(), .prefix = toFile, .recorded = false});
  EXPECT_EQ(cut.standardError, "");
  EXPECT_EQ(cut.exitStatus, 1);
  EXPECT_EQ(readFile(home_ / "out"), run({"status"}).standardOutput.substr(0, 100));

  // A reader that never drains: a stop still ends the run, with a failure that says why.
  const Json stuck = hostile("undrained-stdout", 0.3, {"status"});
  EXPECT_EQ(stuck["stderr"],
            R"({"error":"The status document could not be written to standard output: the )"
            R"(stream took nothing before the run had to end."})");
  EXPECT_EQ(stuck["exit"], 1);
  EXPECT_LT(stuck["seconds"], 2.0);
}

// A stop while the caller's standard error is full: a stream that does not block takes the
// document once it drains; one that blocks never holds the run past a short bound.
TEST_F(Cli, AStopWithAFullStandardErrorStillEndsTheRun) {
  const Json drained = hostile("full-stderr", 0.3, {"connect"});
  EXPECT_EQ(drained["stderr"],
            R"({"error":"Stopped by SIGTERM before the request was complete."})");
  EXPECT_EQ(drained["exit"], 1);
  const Json stuck = hostile("stuck-stderr", 0.3, {"connect"});
  EXPECT_EQ(stuck["exit"], 1);
  EXPECT_LT(stuck["seconds"], 2.0);
  EXPECT_FALSE(preferencesExist());
}

// The limits a caller may set end in a document, never in a signal or a crash: a file size
// limit (the save fails whole and leaves no temporary file), a small stack, and, where no
// sanitizer needs the address space, little memory.
TEST_F(Cli, LimitsOfTheProcessEndInOneDocument) {
  seedPreferences(home_.path(), {{"profiles", Json::array()}, {"kept", std::string(5000, 'x')}});
  const std::string before = readFile(preferencesPath(home_.path()));
  ASSERT_GT(before.size(), 4000u);
  const auto limited = run({"connect"}, kFullTunnel, withLimit("RLIMIT_FSIZE", 2000));
  EXPECT_EQ(limited.standardOutput, "");
  EXPECT_TRUE(limited.standardError.starts_with(
      R"({"error":"Failed to save packet tunnel preferences: The VPN preferences could not be written: )"))
      << limited.standardError;
  EXPECT_TRUE(limited.standardError.ends_with(R"(: File too large."})"));
  EXPECT_EQ(readFile(preferencesPath(home_.path())), before);
  EXPECT_FALSE(temporaryFileLeft());

  const auto smallStack = withLimit("RLIMIT_STACK", 73728);
  EXPECT_EQ(run({"connect"}, kFullTunnel, smallStack).exitStatus, 0);
  EXPECT_EQ(run({"status"}, std::nullopt, smallStack).exitStatus, 0);

  // Below some size not even the C library's start-up fits, and the process dies before the
  // tool runs; from the first run that answers at all, every run answers. (macOS does not
  // enforce an address-space limit.)
#ifdef __linux__
  if (std::string(KELO_SANITIZER).empty()) {
    bool started = false;
    for (int kibibytes = 2048; kibibytes <= 6144; kibibytes += 128) {
      seed({});
      const auto result = run({"connect"}, kFullTunnel, withLimit("RLIMIT_AS", kibibytes * 1024LL));
      started = started || result.exitStatus == 0 || result.exitStatus == 1;
      if (started) {
        expectOneDocument(result);
      }
    }
    EXPECT_TRUE(started);
  }
#endif
}

// A timer signal that the caller left pending is not the deadline (nor is one sent during the
// run: see the fake system's tests).
TEST_F(Cli, AnEarlyTimerSignalIsNotTheDeadline) {
  const std::vector<std::string> pending = {
      "/usr/bin/python3", "-c",
      "import os, signal, sys\n"
      "signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})\n"
      "os.kill(os.getpid(), signal.SIGALRM)\n"
      "os.execv(sys.argv[1], sys.argv[1:])\n"};
  expectSuccess(run({"status"}, std::nullopt, pending), kNotConfigured);
}

// Stop signals at every moment of a connect that rewrites a large file: never a temporary file
// left behind, and the answer is true to what was done. The start of the tunnel is the last
// change: once it is made the answer is the success; a stop answered before it leaves the
// tunnel as it was.
TEST_F(Cli, AStopAtAnyMomentLeavesNoFileAndATrueAnswer) {
  const Json profiles = Json::array({toolProfile("ONE", 1)});
  // Large enough that the writes take a good share of the run; a sanitizer's build is slow
  // enough to need less (with 4 MiB a ThreadSanitizer connect takes seconds).
  const std::size_t keptBytes = std::string(KELO_SANITIZER).empty() ? 4 << 20 : 512 << 10;
  const auto seedLarge = [&] {
    seedPreferences(home_.path(), {{"profiles", profiles}, {"kept", std::string(keptBytes, 'x')}});
  };
  // The signals are spread from the end of a whole "status" run, by when the tool has long set
  // up its handlers (a signal before that ends it by the signal), to the end of a connect; four
  // more go up to twice that time, as a run may take longer than the one measured (a
  // sanitizer's runtime, a busy machine).
  const auto timed = [this](const std::vector<std::string>& arguments) {
    const auto began = std::chrono::steady_clock::now();
    (void)run(arguments, kFullTunnel);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 began);
  };
  seedLarge();
  const auto first = timed({"status"});
  seedLarge();
  const auto connect = timed({"connect"});
  const auto step = (connect - first) / 24;
  int stopped = 0;
  int succeeded = 0;
  for (int attempt = 0; attempt < 28; ++attempt) {
    seedLarge();
    const auto after =
        attempt < 24 ? first + attempt * step : connect + (attempt - 23) * connect / 4;
    const auto result = runTool({.arguments = {"connect"},
                                 .input = kFullTunnel,
                                 .home = home_.path(),
                                 .recorded = false,
                                 .signalAfter = std::pair{SIGTERM, after}});
    expectOneDocument(result);
    const Json tool = profileWithIdentifier(stored(), "ONE");
    if (result.exitStatus == 0) {
      ++succeeded;
      EXPECT_NE(tool["connection"]["status"], 1) << attempt;
    } else {
      ++stopped;
      EXPECT_EQ(result.standardError,
                R"({"error":"Stopped by SIGTERM before the request was complete."})");
      EXPECT_EQ(tool["connection"]["status"], 1) << attempt;
    }
    EXPECT_FALSE(temporaryFileLeft()) << attempt;
  }
  EXPECT_GT(stopped, 0);
  EXPECT_GT(succeeded, 0);
}

}  // namespace
}  // namespace kelo::testing
