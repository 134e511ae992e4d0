#include "blackbox/tool_runner.h"

#include "platform/descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

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
  const std::string path = preferencesPath(home);
  struct stat status {};
  if (home.empty() || lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return std::nullopt;
  }
  return readFile(path);
}

// Leaves a record of the run for the schema test, which checks every document the tool wrote
// and every preferences file it read or wrote.
void recordRun(const Started& started, const ToolRun& run) {
  static int count = 0;
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
  makeDirectories(KELO_DOCUMENT_LOG);
  writeFile(std::string(KELO_DOCUMENT_LOG) + "/" + std::to_string(getpid()) + "-" +
                std::to_string(++count) + ".json",
            record.dump(-1, ' ', false, Json::error_handler_t::replace));
}

std::vector<std::string> environmentWithHome(const std::string& home) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "HOME=", 5) != 0) {
      environment.emplace_back(*entry);
    }
  }
  environment.push_back("HOME=" + home);
  return environment;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (auto& text : texts) {
    result.push_back(text.data());
  }
  result.push_back(nullptr);
  return result;
}

int inputDescriptor(const std::optional<std::string>& input, const std::string& scratchFolder) {
  if (!input) {
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
  }
  std::string path = scratchFolder + "/stdin-XXXXXX";
  const int descriptor = mkostemp(path.data(), O_CLOEXEC);
  if (descriptor < 0) {
    throw std::runtime_error("cannot create the input file");
  }
  unlink(path.c_str());
  if (!writeAll(descriptor, *input)) {
    throw std::runtime_error("cannot write the input file");
  }
  lseek(descriptor, 0, SEEK_SET);
  return descriptor;
}

// Reads both pipes at the same time until both reach end of file, so that the tool can never
// stall on a full one.
void readBothToEnd(int output, std::string& outputText, int error, std::string& errorText) {
  std::array<pollfd, 2> streams = {pollfd{output, POLLIN, 0}, pollfd{error, POLLIN, 0}};
  const std::array<std::string*, 2> texts = {&outputText, &errorText};
  while (streams[0].fd >= 0 || streams[1].fd >= 0) {
    if (poll(streams.data(), streams.size(), -1) < 0) {
      continue;
    }
    for (std::size_t index = 0; index < streams.size(); ++index) {
      std::array<char, 65536> buffer;
      if (streams[index].revents == 0) {
        continue;
      }
      const ssize_t count = read(streams[index].fd, buffer.data(), buffer.size());
      if (count > 0) {
        texts[index]->append(buffer.data(), static_cast<std::size_t>(count));
      } else if (count == 0 || errno != EINTR) {
        streams[index].fd = -1;  // poll passes over negative descriptors
      }
    }
  }
}

Started start(const ToolInvocation& invocation) {
  std::vector<std::string> argv;
  if (invocation.fakeRoot) {
    argv = {"unshare",
            "-m",
            "--propagation",
            "private",
            "sh",
            KELO_FAKE_ROOT_SCRIPT,
            *invocation.fakeRoot,
            invocation.scratch,
            invocation.home,
            "--"};
  }
  argv.insert(argv.end(), invocation.prefix.begin(), invocation.prefix.end());
  argv.push_back(toolPath());
  argv.insert(argv.end(), invocation.arguments.begin(), invocation.arguments.end());
  auto environment = environmentWithHome(invocation.home);

  std::array<int, 2> output{};
  std::array<int, 2> error{};
  if (pipe(output.data()) != 0 || pipe(error.data()) != 0) {
    throw std::runtime_error("pipe failed");
  }
  for (const int end : {output[0], output[1], error[0], error[1]}) {
    fcntl(end, F_SETFD, FD_CLOEXEC);  // tools are started from one thread: no race to close
  }
  Started started;
  started.invocation = &invocation;
  started.preferencesBefore = preferencesOf(invocation.home);
  started.input = inputDescriptor(invocation.input, invocation.home);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, started.input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
  auto args = pointers(argv);
  auto env = pointers(environment);
  const int spawned =
      posix_spawnp(&started.pid, args[0], &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(output[1]);
  close(error[1]);
  if (spawned != 0) {
    throw std::runtime_error(std::string("cannot start the tool: ") + std::strerror(spawned));
  }
  started.output = output[0];
  started.error = error[0];
  return started;
}

ToolRun finish(Started& started) {
  ToolRun run;
  readBothToEnd(started.output, run.standardOutput, started.error, run.standardError);
  close(started.output);
  close(started.error);
  int status = 0;
  while (waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.inputOffset = lseek(started.input, 0, SEEK_CUR);
  close(started.input);
  recordRun(started, run);
  return run;
}

}  // namespace

std::string toolPath() {
  return KELO_TOOL_PATH;
}

ToolRun runTool(const ToolInvocation& invocation) {
  Started started = start(invocation);
  return finish(started);
}

std::vector<ToolRun> runToolsConcurrently(const std::vector<ToolInvocation>& invocations,
                                          const std::vector<std::size_t>& killed) {
  std::vector<Started> started;
  for (const auto& invocation : invocations) {
    started.push_back(start(invocation));
  }
  for (const std::size_t index : killed) {
    usleep(static_cast<useconds_t>(500 + index % 7 * 300));  // spread over the runs' lives
    kill(started[index].pid, SIGKILL);
  }
  // Each is drained in turn: a document is a few hundred bytes, far below a pipe's buffer.
  std::vector<ToolRun> runs;
  for (auto& one : started) {
    runs.push_back(finish(one));
  }
  return runs;
}

std::vector<std::string> withoutProcessesToSpare() {
  // A sanitizer's leak check needs a thread of its own at exit: it is left out here.
  return {"env",
          "ASAN_OPTIONS=detect_leaks=0",
          "setpriv",
          "--reuid=65534",
          "--regid=65534",
          "--clear-groups",
          "prlimit",
          "--nproc=1",
          "--"};
}

bool fakeRootAvailable() {
  return geteuid() == 0 && std::system("unshare -m --propagation private true 2>/dev/null") == 0;
}

}  // namespace kelo::testing
