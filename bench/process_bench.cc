// Whole runs of the tool as a caller sees them, printed as figures (nothing here passes or
// fails on a timer):
//   - "status" against /bin/true, in alternating pairs, and the median ratio of the pairs;
//   - per-app "connect" through the binary with 300 and 1,000 signed applications whose fake
//     code-signing program sleeps 30 ms a run, against the same runs of a build of the tool that
//     inspects one application at a time;
//   - the peak resident memory of "status", of the largest request the tool accepts, and of a
//     per-app "connect" with 2,000 applications.
// The per-app runs need root and mount namespaces: the fake applications and code-signing
// program are laid over "/" by the black-box tests' overlay script, as in those tests.
// Run: build with -DKELO_BUILD_BENCHMARKS=ON, then build/bench/kelo_process_bench.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Measured {
  double seconds = 0;
  long peakKiB = 0;
  int exitStatus = -1;
};

// Runs a program with standard input from `input` (or /dev/null) and standard output into
// `output` (or /dev/null); its own peak memory comes from wait4.
Measured run(const std::vector<std::string>& arguments, const std::string& input = "/dev/null",
             const std::string& output = "/dev/null") {
  std::vector<char*> argv;
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  Measured measured;
  const auto began = Clock::now();
  pid_t child = -1;
  if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    measured.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    measured.peakKiB = usage.ru_maxrss;
    measured.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  return measured;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

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

void statusAgainstTrue() {
  const Folder home("kelo-bench-home");
  fs::create_directories(home.path() / ".local/state/kelo-ne-manager");
  std::ofstream(home.path() / ".local/state/kelo-ne-manager/vpn-preferences.json")
      << R"({"profiles":[{"identifier":"A","enabled":true,"protocol":{"type":"tunnelProvider",)"
         R"("providerBundleIdentifier":"com.kelo.vpn.desktop.PacketTunnel"},)"
         R"("connection":{"status":3}}]})";
  setenv("HOME", home.path().c_str(), 1);
  constexpr int kPairs = 400;
  std::vector<double> ratios, tool, baseline;
  long peakKiB = 0;
  for (int pair = -20; pair < kPairs; ++pair) {  // the first runs warm the caches up
    const bool toolFirst = pair % 2 == 0;
    Measured first = run({toolFirst ? KELO_TOOL_PATH : "/bin/true", "status"});
    Measured second = run({toolFirst ? "/bin/true" : KELO_TOOL_PATH, "status"});
    const Measured& status = toolFirst ? first : second;
    const Measured& bare = toolFirst ? second : first;
    if (pair < 0) {
      continue;
    }
    ratios.push_back(status.seconds / bare.seconds);
    tool.push_back(status.seconds);
    baseline.push_back(bare.seconds);
    peakKiB = std::max(peakKiB, status.peakKiB);
  }
  std::printf("status: median %.0f us, /bin/true: median %.0f us, median ratio of %d pairs: %.2f\n",
              median(tool) * 1e6, median(baseline) * 1e6, kPairs, median(ratios));
  std::printf("status: peak resident memory %.1f MiB\n", static_cast<double>(peakKiB) / 1024);
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
  const Measured measured = run({KELO_TOOL_PATH, "update-app-rules"}, file.string());
  std::printf(
      "largest accepted request (%zu bytes, %zu paths): peak resident memory %.1f MiB, "
      "exit %d (no per-app profile to update)\n",
      request.size(), (request.size() - 18) / 4, static_cast<double>(measured.peakKiB) / 1024,
      measured.exitStatus);
}

// A fake system root with `count` applications in /Applications and a code-signing program
// that takes 30 ms a run.
void makeFakeRoot(const fs::path& root, int count) {
  for (int index = 0; index < count; ++index) {
    const std::string name = "App" + std::to_string(index);
    const fs::path macos = root / "Applications" / ("Group" + std::to_string(index % 20)) /
                           (name + ".app") / "Contents" / "MacOS";
    fs::create_directories(macos);
    std::ofstream(macos / name);
  }
  fs::create_directories(root / "usr/bin");
  std::ofstream(root / "usr/bin/codesign")
      << "#!/bin/sh\nsleep 0.03\nname=$(basename \"$4\")\n"
         "echo \"Identifier=com.example.$name\" >&2\n"
         "echo \"designated => identifier \\\"com.example.$name\\\"\"\n";
  fs::permissions(root / "usr/bin/codesign", fs::perms::owner_all | fs::perms::group_read |
                                                 fs::perms::group_exec | fs::perms::others_read |
                                                 fs::perms::others_exec);
}

// One per-app connect of `tool` inside the fake root; the time and memory are the tool's own,
// measured inside the fake root by this program's --measure mode.
Measured perAppConnect(const std::string& tool, const fs::path& fake, std::string& document) {
  const Folder home("kelo-bench-connect-home");
  const Folder scratch("kelo-bench-scratch");
  const fs::path request = home.path() / "request.json";
  std::ofstream(request)
      << R"({"privateKey":"k","address":"10.8.0.2/32","dns":"1.1.1.1","peerPublicKey":"p",)"
         R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0",)"
         R"("excludedApps":["/Applications/Group0/App0.app"]})";
  const fs::path figures = home.path() / "measured";
  const fs::path output = home.path() / "output";
  run({"/usr/bin/unshare", "-m", "--propagation", "private", "sh", KELO_FAKE_ROOT_SCRIPT,
       fake.string(), scratch.path().string(), home.path().string(), "--", KELO_BENCH_PATH,
       "--measure", figures.string(), tool, "connect"},
      request.string(), output.string());
  Measured measured;
  std::istringstream(readAll(figures)) >> measured.seconds >> measured.peakKiB >>
      measured.exitStatus;
  document = readAll(output);
  return measured;
}

void perAppConnects() {
  if (geteuid() != 0 || std::system("unshare -m --propagation private true 2>/dev/null") != 0) {
    std::printf("per-app connect: skipped (needs root and mount namespaces)\n");
    return;
  }
  double serialSecondsPerApplication = 0;
  for (const int count : {300, 1000, 2000}) {
    const Folder fake("kelo-bench-fake");
    makeFakeRoot(fake.path(), count);
    std::string document;
    const Measured together = perAppConnect(KELO_TOOL_PATH, fake.path(), document);
    std::printf(
        "per-app connect, %d applications at 30 ms a code-signing run: %.2f s, exit %d, "
        "peak resident memory %.1f MiB\n  %s\n",
        count, together.seconds, together.exitStatus, static_cast<double>(together.peakKiB) / 1024,
        document.c_str());
    if (count > 1000) {
      continue;  // only the memory figure is wanted here
    }
    const Measured alone = perAppConnect(KELO_SERIAL_TOOL_PATH, fake.path(), document);
    if (alone.exitStatus == 0) {
      serialSecondsPerApplication = alone.seconds / count;
      std::printf("  one at a time: %.2f s; ratio %.2f\n", alone.seconds,
                  together.seconds / alone.seconds);
    } else {
      // One at a time cannot finish inside the bound: compare with what it would take.
      const double estimate = serialSecondsPerApplication * count;
      std::printf(
          "  one at a time: exit %d after %.2f s (the time-out); it would take about "
          "%.1f s at the pace of the smaller run: ratio %.2f\n",
          alone.exitStatus, alone.seconds, estimate, together.seconds / estimate);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 3 && std::strcmp(argv[1], "--measure") == 0) {
    // Inside the fake root: run the tool with this process's standard streams, then write
    // "seconds peak-KiB exit-status" to the file named.
    std::vector<std::string> arguments(argv + 3, argv + argc);
    std::vector<char*> pointers;
    for (auto& argument : arguments) {
      pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    const auto began = Clock::now();
    pid_t child = -1;
    posix_spawn(&child, pointers[0], nullptr, nullptr, pointers.data(), environ);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    std::ofstream(argv[2]) << std::chrono::duration<double>(Clock::now() - began).count() << ' '
                           << usage.ru_maxrss << ' '
                           << (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
  }
  statusAgainstTrue();
  largestRequest();
  perAppConnects();
  return 0;
}
