#include "blackbox/tool_runner.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "support/test_support.h"

extern char** environ;

namespace kelo::testing {

namespace {

struct Started {
  pid_t pid = -1;
  int output = -1;
  int error = -1;
  int input = -1;
  const ToolInvocation* invocation = nullptr;
  std::optional<std::string> preferencesBefore;
};

// What a regular preferences file holds; a test may put a FIFO or a link there instead.
std::optional<std::string> preferencesOf(const std::string& home) {
  struct stat status {};
  const std::string path = preferencesPath(home);
  if (home.empty() || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return readFile(path);
}

// Leaves a record of the run for the schema test, which checks every document the tool wrote
// and every preferences file it read or wrote.
void recordRun(const Started& started, const ToolRun& run) {
  if (!started.invocation->recorded) {
    return;
  }
  static std::atomic<int> count = 0;  // runs may be recorded from several threads
  const auto text = [](const std::optional<std::string>& value) {
    return value ? Json(*value) : Json(nullptr);
  };
  const Json record = {{"arguments", started.invocation->arguments},
                       {"input", text(started.invocation->input)},
                       {"standardOutput", run.standardOutput},
                       {"standardError", run.standardError},
                       {"exitStatus", run.exitStatus},
                       {"preferencesBefore", text(started.preferencesBefore)},
                       {"preferencesAfter", text(preferencesOf(started.invocation->home))}};
  writeFile(std::string(KELO_DOCUMENT_LOG) + "/" + std::to_string(getpid()) + "-" +
                std::to_string(++count) + ".json",
            record.dump(-1, ' ', false, Json::error_handler_t::replace));
}

// The request in a file of its own, so that how far the tool read into it can be seen.
int inputDescriptor(const std::optional<std::string>& input, const std::string& folder) {
  if (!input) {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  std::string path = folder + "/stdin-XXXXXX";
  const int descriptor = mkostemp(path.data(), O_CLOEXEC);
  unlink(path.c_str());
  if (descriptor < 0 ||
      write(descriptor, input->data(), input->size()) != static_cast<ssize_t>(input->size())) {
    throw std::runtime_error("cannot write the request to a file");
  }
  lseek(descriptor, 0, SEEK_SET);
  return descriptor;
}

// What a pipe yields to its end. Standard output is read before standard error: the tool
// writes one document, far less than a pipe holds, so it never waits on the other one.
std::string readToEnd(int descriptor) {
  std::string text;
  std::array<char, 65536> buffer;
  for (ssize_t count = 0; (count = read(descriptor, buffer.data(), buffer.size())) != 0;) {
    if (count > 0) {
      text.append(buffer.data(), static_cast<std::size_t>(count));
    } else if (errno != EINTR) {
      break;
    }
  }
  close(descriptor);
  return text;
}

Started start(const ToolInvocation& invocation) {
  std::vector<std::string> argv = {"env", "HOME=" + invocation.home};
  if (invocation.fakeRoot) {
    argv.insert(argv.end(),
                {"unshare", "-m", "--propagation", "private", "sh", KELO_FAKE_ROOT_SCRIPT,
                 *invocation.fakeRoot, invocation.scratch, invocation.home, "--"});
  }
  argv.insert(argv.end(), invocation.prefix.begin(), invocation.prefix.end());
  argv.push_back(invocation.homeCodesign ? KELO_HOME_CODESIGN_TOOL_PATH : KELO_TOOL_PATH);
  argv.insert(argv.end(), invocation.arguments.begin(), invocation.arguments.end());
  std::vector<char*> pointers;
  pointers.reserve(argv.size() + 1);
  for (auto& argument : argv) {
    pointers.push_back(argument.data());
  }
  pointers.push_back(nullptr);

  // Tools may be started from several threads: one at a time, so that the pipes can be marked
  // close-on-exec after the fact and no tool inherits another's.
  static std::mutex starting;
  const std::lock_guard one(starting);
  std::array<int, 2> output{};
  std::array<int, 2> error{};
  if (pipe(output.data()) != 0 || pipe(error.data()) != 0) {
    throw std::runtime_error("pipe failed");
  }
  for (const int end : {output[0], output[1], error[0], error[1]}) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  Started started{.output = output[0],
                  .error = error[0],
                  .input = inputDescriptor(invocation.input, invocation.home),
                  .invocation = &invocation,
                  .preferencesBefore = preferencesOf(invocation.home)};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, started.input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
  const int spawned =
      posix_spawnp(&started.pid, pointers[0], &actions, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  close(error[1]);
  if (spawned != 0) {
    throw std::runtime_error(std::string("cannot start the tool: ") + std::strerror(spawned));
  }
  return started;
}

ToolRun finish(Started& started) {
  ToolRun run{.standardOutput = readToEnd(started.output),
              .standardError = readToEnd(started.error)};
  int status = 0;
  rusage usage{};
  while (wait4(started.pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  const auto seconds = [](const timeval& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
  };
  run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  run.inputOffset = lseek(started.input, 0, SEEK_CUR);
  close(started.input);
  recordRun(started, run);
  return run;
}

}  // namespace

ToolRun runTool(const ToolInvocation& invocation) {
  return runToolsConcurrently({invocation}).front();
}

std::vector<ToolRun> runToolsConcurrently(const std::vector<ToolInvocation>& invocations) {
  const auto began = std::chrono::steady_clock::now();
  std::vector<Started> started;
  started.reserve(invocations.size());
  for (const auto& invocation : invocations) {
    started.push_back(start(invocation));
  }
  // (signal, when, index) for each run that gets a signal, earliest first.
  std::vector<std::tuple<std::chrono::microseconds, int, std::size_t>> signals;
  for (std::size_t index = 0; index < invocations.size(); ++index) {
    if (const auto& signalAfter = invocations[index].signalAfter) {
      signals.emplace_back(signalAfter->second, signalAfter->first, index);
    }
  }
  std::ranges::sort(signals);
  for (const auto& [after, signal, index] : signals) {
    std::this_thread::sleep_until(began + after);
    kill(started[index].pid, signal);
  }
  // Each is drained in turn: a document is a few hundred bytes, far below a pipe's buffer.
  std::vector<ToolRun> runs;
  runs.reserve(started.size());
  for (auto& one : started) {
    runs.push_back(finish(one));
  }
  return runs;
}

namespace {

// Every uid that a process of this machine runs as: real, effective, saved or file-system.
std::set<unsigned> uidsInUse() {
  std::set<unsigned> uids;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    std::ifstream status(entry.path() / "status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Uid:")) {
        std::istringstream fields(line.substr(4));
        for (unsigned uid = 0; fields >> uid;) {
          uids.insert(uid);
        }
        break;
      }
    }
  }
  return uids;
}

OtherUser findOtherUser() {
  OtherUser user;
  if (geteuid() != 0) {
    user.unavailable = "needs root, to run as another user with a process limit";
    return user;
  }
  const std::set<unsigned> inUse = uidsInUse();
  for (unsigned uid = 61000; uid > 50000 && user.uid == 0; --uid) {
    if (!inUse.contains(uid) && getpwuid(uid) == nullptr) {
      user.uid = uid;
    }
  }
  if (user.uid == 0) {
    user.unavailable = "every uid from 50001 to 61000 is in use or named";
    return user;
  }
  // A folder of its own, removed as the test process ends.
  static const TemporaryDirectory folder;
  if (chmod(folder.path().c_str(), 0755) != 0) {
    user.unavailable = "cannot open " + folder.path() + " to all";
    return user;
  }
  user.tool = folder / "kelo-ne-manager";
  std::error_code failed;
  std::filesystem::copy_file(KELO_TOOL_PATH, user.tool, failed);
  const std::string uid = std::to_string(user.uid);
  const std::string reach =
      "setpriv --reuid=" + uid + " --regid=" + uid + " --clear-groups test -x '" + user.tool + "'";
  if (failed || std::system(reach.c_str()) != 0) {
    user.unavailable = "uid " + uid + " cannot run a copy of the tool in " + folder.path() +
                       ": every folder on the way to it must be open to all";
  }
  return user;
}

}  // namespace

const OtherUser& otherUser() {
  static const OtherUser user = findOtherUser();
  return user;
}

std::vector<std::string> asOtherUser(const std::string& limits, const std::string& before) {
  const OtherUser& user = otherUser();
  const std::string uid = std::to_string(user.uid);
  // A sanitizer's leak check needs a thread of its own at exit: it is left out here. The shell's
  // "$0" is the tool of the build, which the user may not reach: its copy runs instead.
  return {"env",
          "ASAN_OPTIONS=detect_leaks=0",
          "setpriv",
          "--reuid=" + uid,
          "--regid=" + uid,
          "--clear-groups",
          "/bin/sh",
          "-c",
          before + "exec prlimit " + limits + " -- '" + user.tool + "' \"$@\""};
}

std::vector<std::string> withoutProcessesToSpare() {
  return asOtherUser("--nproc=1");
}

Json connectRequest(Json excludedApps) {
  return {{"privateKey", "cHJpdmF0ZQ=="},
          {"address", "10.8.0.2/32, fd00::2/128"},
          {"dns", "1.1.1.1"},
          {"peerPublicKey", "cGVlcg=="},
          {"peerEndpoint", "[2001:db8::1]:51820"},
          {"allowedIps", "0.0.0.0/0, ::/0"},
          {"excludedApps", std::move(excludedApps)}};
}

ToolRun ToolTest::run(std::vector<std::string> arguments, std::optional<std::string> input,
                      std::vector<std::string> prefix) const {
  return runTool({.arguments = std::move(arguments),
                  .input = std::move(input),
                  .home = home_.path(),
                  .prefix = std::move(prefix)});
}

void ToolTest::installSignedApplications(const std::vector<std::string>& names) const {
  for (const auto& name : names) {
    std::string executable = "Applications/";
    executable.append(name).append(".app/Contents/MacOS/").append(name);
    writeFile(home_ / executable, "", 0755);
  }
  writeFile(home_ / ".codesign",
            "#!/bin/sh\necho \"Identifier=com.example.$(basename \"$4\")\" >&2\n"
            "echo 'designated => x'\n",
            0755);
}

ToolRun ToolTest::runSigning(const std::string& command, const Json& request) const {
  return runTool({.arguments = {command, "--protocol=2"},
                  .input = request.dump(),
                  .home = home_.path(),
                  .homeCodesign = true});
}

void ToolTest::seed(const std::vector<Json>& profiles, const Json& faults) const {
  seedPreferences(home_.path(), {{"profiles", profiles}, {"faults", faults}});
}

Json ToolTest::stored() const {
  return readPreferences(home_.path());
}

void ToolTest::expectFailure(const ToolRun& result, const std::string& escapedMessage) {
  EXPECT_EQ(result.standardOutput, "");
  EXPECT_EQ(result.standardError, R"({"error":")" + escapedMessage + R"("})");
  EXPECT_EQ(result.exitStatus, 1);
}

void ToolTest::expectSuccess(const ToolRun& result, const std::string& document) {
  EXPECT_EQ(result.standardOutput, document);
  EXPECT_EQ(result.standardError, "");
  EXPECT_EQ(result.exitStatus, 0);
}

bool fakeRootAvailable() {
  return geteuid() == 0 && std::system("unshare -m --propagation private true 2>/dev/null") == 0;
}

}  // namespace kelo::testing
