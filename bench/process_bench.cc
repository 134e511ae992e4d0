// Whole runs of the tool as a caller sees them, printed as figures (nothing here passes or
// fails on a timer):
//   - "status" against two floors, /bin/true and a C++ program that writes one line, built and
//     linked like the tool, in rotating triples, and the median ratios of the triples: the
//     second floor makes figures from machines whose bare process start costs differ comparable;
//   - per-app "connect" through the binary with 300, 1,000 and 2,000 signed applications whose
//     fake code-signing program sleeps 30 ms a run, and, for the first two, rule building in
//     this process with the tool's number of children at once against one at a time;
//   - whole-application rule building in this process, 300 applications with four nested
//     items each, likewise, with how many times the code-signing program ran;
//   - "status" of a profile with 1,000 rules in protocol 1 and protocol 2, alternating;
//   - the peak resident memory of "status", of the largest request the tool accepts, and of a
//     per-app "connect" with 2,000 applications;
//   - "wait": the CPU time of a 10-second wait that nothing ends, and how long after a tunnel
//     settles, or another process changes the preferences, a waiting run has answered.
// The per-app runs need root and mount namespaces: the fake applications and code-signing
// program are laid over "/" by the black-box tests' overlay script, as in those tests.
// Run: build with -DKELO_BUILD_BENCHMARKS=ON, then build/bench/kelo_process_bench, or
// build/bench/kelo_process_bench status TOOL for the status figures of another build, or
// build/bench/kelo_process_bench compare TOOL TOOL for two builds side by side, or
// build/bench/kelo_process_bench protocols TOOL for "status" in protocol 1 and 2 alone, or
// build/bench/kelo_process_bench wait TOOL for the "wait" figures alone, or
// build/bench/kelo_process_bench whole for whole-application rule building alone.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "apprules/rule_building.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string readAll(const fs::path& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

class Folder {
 public:
  explicit Folder(const std::string& name)
      : path_(fs::temp_directory_path() / (name + "-" + std::to_string(getpid()))) {
    fs::create_directories(path_);
  }
  ~Folder() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Measured {
  double seconds = 0;
  double cpuSeconds = 0;  // user and system time of the program (with `peak`, of both programs)
  double endedAt = 0;     // when it had ended, in seconds since the epoch
  long peakKiB = 0;
  int exitStatus = -1;
};

// Runs a program with standard input from the file `input` (none: this process's own) and
// standard output into the file `output`, and takes its time; with `peak`, through the peak-memory
// program, which adds its own start to the time and gives the program's peak resident memory and
// exit status.
Measured run(std::vector<std::string> arguments, const std::string& input = "/dev/null",
             const std::string& output = "/dev/null", bool peak = false) {
  const Folder scratch("kelo-bench-peak");
  const std::string figures = (scratch.path() / "figures").string();
  if (peak) {
    arguments.insert(arguments.begin(), {KELO_PEAK_MEMORY_PATH, figures});
  }
  std::vector<char*> argv;
  argv.reserve(arguments.size() + 1);
  for (auto& argument : arguments) {
    argv.push_back(argument.data());
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!input.empty()) {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  Measured measured;
  const auto began = Clock::now();
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    measured.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    measured.endedAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    measured.cpuSeconds =
        static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measured.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  if (peak) {
    std::istringstream(readAll(figures)) >> measured.peakKiB >> measured.exitStatus;
  }
  return measured;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Makes `home` the home of the runs to come, with one connected profile in its simulated
// preferences: what "status" is timed on.
void useStatusHome(const Folder& home) {
  fs::create_directories(home.path() / ".local/state/kelo-ne-manager");
  std::ofstream(home.path() / ".local/state/kelo-ne-manager/vpn-preferences.json")
      << R"({"profiles":[{"identifier":"A","enabled":true,"protocol":{"type":"tunnelProvider",)"
         R"("providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel"},)"
         R"("connection":{"status":3}}]})";
  setenv("HOME", home.path().c_str(), 1);
}

void statusAgainstFloors(const std::string& tool) {
  const Folder home("kelo-bench-home");
  useStatusHome(home);
  constexpr int kTriples = 400;
  const std::array<std::string, 3> programs = {tool, "/bin/true", KELO_ONE_LINE_PATH};
  std::array<std::vector<double>, 3> seconds;
  std::array<std::vector<double>, 2> ratios;
  for (int triple = -20; triple < kTriples; ++triple) {  // the first runs warm the caches up
    std::array<Measured, 3> measured;
    for (int turn = 0; turn < 3; ++turn) {  // each program first, second and last in turn
      const int which = (turn + triple + 60) % 3;
      measured[which] = run({programs[which], "status"});
    }
    if (triple < 0) {
      continue;
    }
    for (int which = 0; which < 3; ++which) {
      seconds[which].push_back(measured[which].seconds);
    }
    ratios[0].push_back(measured[0].seconds / measured[1].seconds);
    ratios[1].push_back(measured[0].seconds / measured[2].seconds);
  }
  const long peakKiB = run({tool, "status"}, "/dev/null", "/dev/null", true).peakKiB;
  std::printf(
      "status: median %.0f us; /bin/true %.0f us; one-line C++ program %.0f us\n"
      "status: median ratio of %d triples to /bin/true %.2f, to the one-line program %.2f\n",
      median(seconds[0]) * 1e6, median(seconds[1]) * 1e6, median(seconds[2]) * 1e6, kTriples,
      median(ratios[0]), median(ratios[1]));
  std::printf("status: peak resident memory %.1f MiB\n", static_cast<double>(peakKiB) / 1024);
}

// "status" of a per-app profile with 1,000 rules and on-demand rules, in protocol 1 and in
// protocol 2 (which also encodes every rule and asks for the last disconnect error), runs
// alternating, and the median ratio of the pairs.
void statusInBothProtocols(const std::string& tool) {
  const Folder home("kelo-bench-home");
  fs::create_directories(home.path() / ".local/state/kelo-ne-manager");
  std::string rules;
  for (int index = 0; index < 1000; ++index) {
    const std::string name = "com.example.app" + std::to_string(index);
    const std::string app = "App" + std::to_string(index);
    rules += index > 0 ? "," : "";
    rules.append(R"({"signingIdentifier":")").append(name);
    rules.append(R"(","designatedRequirement":"identifier \")").append(name);
    rules.append(R"(\" and anchor apple generic","matchPath":"/Applications/)").append(app);
    rules.append(".app/Contents/MacOS/").append(app).append(R"("})");
  }
  std::ofstream(home.path() / ".local/state/kelo-ne-manager/vpn-preferences.json")
      << R"({"profiles":[{"identifier":"A","enabled":true,"perAppVPN":true,)"
         R"("protocol":{"type":"tunnelProvider",)"
         R"("providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel",)"
         R"("serverAddress":"203.0.113.5"},"onDemandEnabled":true,)"
         R"("onDemandRules":[{"action":"connect","interfaceType":"any"}],"appRules":[)"
      << rules << R"(],"connection":{"status":3,"since":1764950400}}]})";
  setenv("HOME", home.path().c_str(), 1);
  constexpr int kPairs = 300;
  std::array<std::vector<double>, 2> seconds;
  std::vector<double> ratios;
  for (int pair = -10; pair < kPairs; ++pair) {
    std::array<double, 2> measured{};
    for (int turn = 0; turn < 2; ++turn) {  // each protocol first in every other pair
      const int which = (turn + pair + 10) % 2;
      measured[which] = which == 0 ? run({tool, "status"}).seconds
                                   : run({tool, "status", "--protocol=2"}).seconds;
    }
    if (pair < 0) {
      continue;
    }
    seconds[0].push_back(measured[0]);
    seconds[1].push_back(measured[1]);
    ratios.push_back(measured[1] / measured[0]);
  }
  std::printf(
      "status of 1,000 rules: protocol 1 median %.0f us, protocol 2 median %.0f us; median "
      "ratio of %d pairs %.2f\n",
      median(seconds[0]) * 1e6, median(seconds[1]) * 1e6, kPairs, median(ratios));
}

// The largest request the tool accepts, as many one-letter paths as fit into 1 MiB: the most
// values, and so the most memory, a request can make the tool hold.
void largestRequest() {
  const Folder home("kelo-bench-request-home");
  setenv("HOME", home.path().c_str(), 1);
  std::string request = R"({"excludedApps":[)";
  while (request.size() + 6 < (1u << 20)) {
    request += R"("a",)";
  }
  request.back() = ']';
  request += '}';
  const fs::path file = home.path() / "request.json";
  std::ofstream(file) << request;
  const Measured measured =
      run({KELO_TOOL_PATH, "update-app-rules"}, file.string(), "/dev/null", true);
  std::printf(
      "largest accepted request (%zu bytes, %zu paths): peak resident memory %.1f MiB, "
      "exit %d (no per-app profile to update)\n",
      request.size(), (request.size() - 18) / 4, static_cast<double>(measured.peakKiB) / 1024,
      measured.exitStatus);
}

// The first bytes of a 64-bit Mach-O executable, little-endian.
std::string machOExecutable() {
  return std::string("\xCF\xFA\xED\xFE\x0C\0\0\x01\0\0\0\0\x02\0\0\0", 16) + std::string(16, '\0');
}

// A fake system root with `count` applications in /Applications and a code-signing program
// that takes 30 ms a run. With `nested`, each application's Info.plist names its executable
// and it holds four nested items, each signed with an identity of its own (a helper
// application, an XPC service, an extension and a privileged helper tool), and the program
// writes each path it inspects to /tmp/kelo-bench-calls.
void makeFakeRoot(const fs::path& root, int count, bool nested = false) {
  for (int index = 0; index < count; ++index) {
    const std::string name = "App" + std::to_string(index);
    const fs::path contents = root / "Applications" / ("Group" + std::to_string(index % 20)) /
                              (name + ".app") / "Contents";
    fs::create_directories(contents / "MacOS");
    std::ofstream mainExecutable(contents / "MacOS" / name);
    if (!nested) {
      continue;
    }
    std::ofstream(contents / "Info.plist")
        << "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
        << "<string>" << name << "</string></dict></plist>\n";
    for (const auto& [folder, executable] :
         {std::pair{"Frameworks/" + name + " Helper.app", name + "Helper"},
          std::pair{"XPCServices/" + name + "Fetch.xpc", name + "Fetch"},
          std::pair{"PlugIns/" + name + "Share.appex", name + "Share"}}) {
      fs::create_directories(contents / folder / "Contents/MacOS");
      std::ofstream nestedExecutable(contents / folder / "Contents/MacOS" / executable);
    }
    fs::create_directories(contents / "Library/LaunchServices");
    std::ofstream(contents / "Library/LaunchServices" / (name + "Privileged")) << machOExecutable();
  }
  fs::create_directories(root / "usr/bin");
  std::ofstream(root / "usr/bin/codesign")
      << "#!/bin/sh\nsleep 0.03\nname=$(basename \"$4\")\n"
      << (nested ? "echo \"$4\" >> /tmp/kelo-bench-calls\n" : "")
      << "echo \"Identifier=com.example.$name\" >&2\n"
         "echo \"designated => identifier \\\"com.example.$name\\\"\"\n";
  fs::permissions(root / "usr/bin/codesign", fs::perms::owner_all | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);
}

// Runs this program inside the fake root with `arguments` after it, standard input from
// `input`, and returns what it wrote to the file it was given.
std::string insideFakeRoot(const fs::path& fake, std::vector<std::string> arguments,
                           const std::string& input = "/dev/null") {
  const Folder home("kelo-bench-connect-home");
  const Folder scratch("kelo-bench-scratch");
  const fs::path figures = home.path() / "figures";
  std::vector<std::string> command = {"/usr/bin/unshare",
                                      "-m",
                                      "--propagation",
                                      "private",
                                      "sh",
                                      KELO_FAKE_ROOT_SCRIPT,
                                      fake.string(),
                                      scratch.path().string(),
                                      home.path().string(),
                                      "--",
                                      KELO_BENCH_PATH};
  arguments.insert(arguments.begin() + 1, figures.string());
  command.insert(command.end(), arguments.begin(), arguments.end());
  run(command, input);
  return readAll(figures);
}

bool fakeRootsAvailable() {
  return geteuid() == 0 && std::system("unshare -m --propagation private true 2>/dev/null") == 0;
}

// The per-app connect request of the benchmarks, which leaves one application out, in `folder`.
fs::path writeConnectRequest(const Folder& folder) {
  const fs::path request = folder.path() / "request.json";
  std::ofstream(request)
      << R"({"privateKey":"k","address":"10.8.0.2/32","dns":"1.1.1.1","peerPublicKey":"p",)"
         R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0",)"
         R"("excludedApps":["/Applications/Group0/App0.app"]})";
  return request;
}

// Whole-application rule building in this process: 300 applications with four nested items
// each, with the tool's number of children at once against one at a time, and how often the
// code-signing program ran (once per executable is right).
void wholeApplicationRules(unsigned together) {
  const Folder fake("kelo-bench-fake");
  makeFakeRoot(fake.path(), 300, true);
  double seconds[2] = {};
  std::size_t rules[2] = {};
  std::size_t calls[2] = {};
  std::size_t distinct[2] = {};
  for (const int alone : {0, 1}) {
    std::istringstream(insideFakeRoot(
        fake.path(), {"--build-rules", std::to_string(alone ? 1 : together), "whole"})) >>
        seconds[alone] >> rules[alone] >> calls[alone] >> distinct[alone];
  }
  std::printf(
      "whole-application rule building, 300 applications with 4 nested items each: %u children "
      "at once %.2f s (%zu rules, %zu runs of %zu executables), one at a time %.2f s (%zu rules, "
      "%zu runs of %zu executables): ratio %.2f\n",
      together, seconds[0], rules[0], calls[0], distinct[0], seconds[1], rules[1], calls[1],
      distinct[1], seconds[0] / seconds[1]);
}

void perAppConnects() {
  if (!fakeRootsAvailable()) {
    std::printf("per-app connect: skipped (needs root and mount namespaces)\n");
    return;
  }
  const Folder requests("kelo-bench-requests");
  const fs::path request = writeConnectRequest(requests);
  const unsigned together = kelo::apprules::AppRuleSources::system().maximumInspections;
  for (const int count : {300, 1000, 2000}) {
    const Folder fake("kelo-bench-fake");
    makeFakeRoot(fake.path(), count);
    Measured connect;
    std::string document;
    std::istringstream(
        insideFakeRoot(fake.path(), {"--measure", KELO_TOOL_PATH, "connect"}, request.string())) >>
        connect.seconds >> connect.peakKiB >> connect.exitStatus >> document;
    std::printf(
        "per-app connect, %d applications at 30 ms a code-signing run: %.2f s, exit %d, "
        "peak resident memory %.1f MiB\n  %s\n",
        count, connect.seconds, connect.exitStatus, static_cast<double>(connect.peakKiB) / 1024,
        document.c_str());
    if (count > 1000) {
      continue;  // only the memory figure is wanted here
    }
    double seconds[2] = {};
    std::size_t rules[2] = {};
    for (const int alone : {0, 1}) {
      std::istringstream(
          insideFakeRoot(fake.path(), {"--build-rules", std::to_string(alone ? 1 : together)})) >>
          seconds[alone] >> rules[alone];
    }
    std::printf(
        "  rule building: %u children at once %.2f s (%zu rules), one at a time %.2f s (%zu "
        "rules): ratio %.2f\n",
        together, seconds[0], rules[0], seconds[1], rules[1], seconds[0] / seconds[1]);
  }
  wholeApplicationRules(together);
}

// Two builds of the tool side by side, for a change's cost: each one's status figures, then
// per-app connects of 1,000 applications at 30 ms a code-signing run, alternating between them.
// "wait": the CPU time of waits that run out their 10 seconds, listening and looking again every
// 20 ms; then, over rounds, how long
// after the simulated settling of a start (half a second after it was written) a wait for
// "connected" has ended, and how long after another process wrote a stopped tunnel into the
// file a wait for "disconnected" has. The latencies include the tool's exit, as a caller sees it.
void waits(const std::string& tool) {
  const Folder home("kelo-bench-home");
  const fs::path folder = home.path() / ".local/state/kelo-ne-manager";
  fs::create_directories(folder);
  setenv("HOME", home.path().c_str(), 1);
  const auto epochSeconds = [] {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const auto seed = [&](int status, double since) {
    const fs::path scratch = folder / "seed";
    std::ofstream(scratch)
        << R"({"profiles":[{"identifier":"A","enabled":true,"protocol":{"type":"tunnelProvider",)"
           R"("providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel"},)"
           R"("connection":{"status":)"
        << status << R"(,"since":)" << std::to_string(since) << "}}]}";
    fs::rename(scratch, folder / "vpn-preferences.json");
  };
  const auto request = [&](const std::string& name, const std::string& text) {
    std::ofstream(home.path() / name) << text;
    return (home.path() / name).string();
  };
  seed(3, epochSeconds());
  const std::string never = request("never", R"({"until":["reasserting"],"timeoutSeconds":10})");
  for (int round = 0; round < 3; ++round) {
    const Measured measured = run({tool, "wait"}, never);
    std::printf("wait: 10-second wait, CPU time %.1f ms (%.2f s, exit %d)\n",
                measured.cpuSeconds * 1e3, measured.seconds, measured.exitStatus);
  }
  // Where the wait looks again every 20 ms instead of listening: preferences left unreadable
  // after its first load.
  {
    seed(3, epochSeconds());
    std::thread spoiler([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::ofstream(folder / "vpn-preferences.json") << "{";
    });
    const Measured measured = run({tool, "wait"}, never);
    spoiler.join();
    std::printf(
        "wait: 10-second wait looking again every 20 ms, CPU time %.1f ms (%.2f s, exit %d)\n",
        measured.cpuSeconds * 1e3, measured.seconds, measured.exitStatus);
  }
  constexpr int kRounds = 20;
  const std::string connected = request("connected", R"({"until":["connected"]})");
  const std::string disconnected = request("disconnected", R"({"until":["disconnected"]})");
  std::vector<double> settling;
  std::vector<double> written;
  for (int round = 0; round < kRounds; ++round) {
    const double since = epochSeconds();
    seed(2, since);
    settling.push_back(run({tool, "wait"}, connected).endedAt - (since + 0.5));
    seed(3, epochSeconds());
    double stoppedAt = 0;
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      stoppedAt = epochSeconds();
      seed(1, stoppedAt);
    });
    const Measured waited = run({tool, "wait"}, disconnected);
    other.join();
    written.push_back(waited.endedAt - stoppedAt);
  }
  for (const auto& [what, figures] :
       {std::pair{"settling", &settling}, std::pair{"another process's change", &written}}) {
    std::sort(figures->begin(), figures->end());
    std::printf("wait: answered after %s in %d rounds: median %.1f ms, at most %.1f ms\n", what,
                kRounds, median(*figures) * 1e3, figures->back() * 1e3);
  }
}

void compare(const std::string& first, const std::string& second) {
  for (const auto& tool : {first, second}) {
    std::printf("%s\n", tool.c_str());
    statusAgainstFloors(tool);
  }
  {
    // The two builds' "status" in alternating pairs, so that both see the same moments of a
    // shared machine: the ratio that says whether the second is slower.
    const Folder home("kelo-bench-home");
    useStatusHome(home);
    constexpr int kPairs = 1000;
    std::vector<double> ratios;
    for (int pair = -20; pair < kPairs; ++pair) {
      std::array<double, 2> seconds{};
      for (int turn = 0; turn < 2; ++turn) {  // each build first in every other pair
        const int which = (turn + pair + 20) % 2;
        seconds[which] = run({which == 0 ? first : second, "status"}).seconds;
      }
      if (pair >= 0) {
        ratios.push_back(seconds[1] / seconds[0]);
      }
    }
    std::printf("status: median ratio of %d alternating pairs, second build to first %.3f\n",
                kPairs, median(ratios));
  }
  if (!fakeRootsAvailable()) {
    std::printf("per-app connect: skipped (needs root and mount namespaces)\n");
    return;
  }
  const Folder requests("kelo-bench-requests");
  const fs::path request = writeConnectRequest(requests);
  const Folder fake("kelo-bench-fake");
  makeFakeRoot(fake.path(), 1000);
  constexpr int kRounds = 6;
  std::array<std::vector<double>, 2> seconds;
  for (int round = 0; round < kRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {  // each build first in every other round
      const int which = (turn + round) % 2;
      Measured connect;
      std::istringstream(insideFakeRoot(
          fake.path(), {"--measure", which == 0 ? first : second, "connect"}, request.string())) >>
          connect.seconds;
      seconds[which].push_back(connect.seconds);
    }
  }
  for (int which = 0; which < 2; ++which) {
    std::sort(seconds[which].begin(), seconds[which].end());
    std::printf("per-app connect, 1,000 applications, %s: %.2f to %.2f s, median %.2f s\n",
                which == 0 ? first.c_str() : second.c_str(), seconds[which].front(),
                seconds[which].back(), median(seconds[which]));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() > 2 && arguments[0] == "--measure") {
    // Inside the fake root: run the tool with this process's standard streams, then write
    // "seconds peak-KiB exit-status document" to the file named.
    std::vector<std::string> tool(arguments.begin() + 2, arguments.end());
    const fs::path output = fs::path(arguments[1]).parent_path() / "document";
    const Measured measured = run(tool, "", output.string(), true);
    std::ofstream(arguments[1]) << measured.seconds << ' ' << measured.peakKiB << ' '
                                << measured.exitStatus << ' ' << readAll(output);
    return 0;
  }
  if ((arguments.size() == 3 || arguments.size() == 4) && arguments[0] == "--build-rules") {
    // Inside the fake root: build the rules of the benchmark's request in this process with
    // the number of children at once given (of whole applications with a fourth argument),
    // then write "seconds rules" to the file named, and for whole applications the runs of the
    // code-signing program and the distinct paths it ran on.
    auto sources = kelo::apprules::AppRuleSources::system();
    sources.maximumInspections = static_cast<unsigned>(std::stoul(arguments[2]));
    const bool whole = arguments.size() == 4;
    std::error_code ignored;
    fs::remove("/tmp/kelo-bench-calls", ignored);
    const auto began = Clock::now();
    const auto rules = kelo::apprules::buildIncludedAppRules(
        {"/Applications/Group0/App0.app"}, sources,
        {whole ? kelo::RuleCoverage::wholeApplication : kelo::RuleCoverage::firstExecutable,
         kelo::MissingApps::fail});
    std::ofstream figures(arguments[1]);
    figures << std::chrono::duration<double>(Clock::now() - began).count() << ' '
            << (rules ? rules->rules.size() : 0);
    if (whole) {
      std::istringstream calls(readAll("/tmp/kelo-bench-calls"));
      std::set<std::string> paths;
      std::size_t runs = 0;
      for (std::string line; std::getline(calls, line); ++runs) {
        paths.insert(line);
      }
      figures << ' ' << runs << ' ' << paths.size();
    }
    return 0;
  }
  if (arguments.size() == 3 && arguments[0] == "compare") {
    compare(arguments[1], arguments[2]);
    return 0;
  }
  if (arguments.size() == 2 && arguments[0] == "status") {
    statusAgainstFloors(arguments[1]);
    return 0;
  }
  if (arguments.size() == 1 && arguments[0] == "whole") {
    wholeApplicationRules(kelo::apprules::AppRuleSources::system().maximumInspections);
    return 0;
  }
  if (arguments.size() == 2 && arguments[0] == "wait") {
    waits(arguments[1]);
    return 0;
  }
  if (arguments.size() == 2 && arguments[0] == "protocols") {
    statusInBothProtocols(arguments[1]);
    return 0;
  }
  statusAgainstFloors(KELO_TOOL_PATH);
  statusInBothProtocols(KELO_TOOL_PATH);
  largestRequest();
  waits(KELO_TOOL_PATH);
  perAppConnects();
  return 0;
}
