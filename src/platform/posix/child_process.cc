// Child processes on POSIX systems, with posix_spawn. Every child leads a process group of its
// own and is kept in a registry until it has been reaped, so that it can be ended with all it
// started when the process must end early.
#include "platform/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/descriptors.h"
#include "platform/posix/spawn_support.h"

extern char** environ;  // declared by no header on macOS

namespace kelo {

namespace {

// The children that may still be running. Each is the leader of its own process group, so
// ending it also ends what it started.
struct ChildRegistry {
  std::mutex mutex;
  std::set<pid_t> running;
  bool closed = false;
};

ChildRegistry& registry() {
  static ChildRegistry* const children = new ChildRegistry;
  return *children;
}

class Pipe {
 public:
  Pipe() {
    if (!posix::openPipe(ends_)) {
      ends_ = {-1, -1};
    }
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  bool valid() const { return ends_[0] >= 0; }
  int readEnd() const { return ends_[0]; }
  int writeEnd() const { return ends_[1]; }
  void closeRead() { closeEnd(0); }
  void closeWrite() { closeEnd(1); }

 private:
  void closeEnd(int which) {
    if (ends_[which] >= 0) {
      close(ends_[which]);
      ends_[which] = -1;
    }
  }
  std::array<int, 2> ends_{};
};

std::unexpected<PlatformError> launchError(const std::string& program, int error) {
  return std::unexpected(
      PlatformError{"The program " + program + " could not be started: " + std::strerror(error)});
}

// The child's exit status, 128 + the signal that ended it, or -1 when it cannot be known (a
// wait that fails, as when SIGCHLD is ignored and the system reaps children by itself): a
// status that is never taken for success.
int waitForExit(pid_t child) {
  // Wait without reaping first, so that the pid stays ours until it has left the registry.
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(registry().mutex);
    registry().running.erase(child);
  }
  int status = 0;
  pid_t reaped = -1;
  while ((reaped = waitpid(child, &status, 0)) < 0 && errno == EINTR) {
  }
  if (reaped != child) {
    return -1;
  }
  if (WIFEXITED(status)) {
    return WEXITSTATUS(status);
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

}  // namespace

std::expected<ChildOutput, PlatformError> runChildProcess(
    const std::string& program, const std::vector<std::string>& arguments) {
  Pipe output;
  Pipe error;
  if (!output.valid() || !error.valid()) {
    return launchError(program, errno);
  }

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output.writeEnd(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, error.writeEnd(), STDERR_FILENO);
  short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  posix::inheritOnlyStandardStreams(actions, flags);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigset_t unblocked;
  sigemptyset(&unblocked);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &unblocked);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, flags);

  pid_t child = -1;
  int spawned = 0;
  {
    std::lock_guard lock(registry().mutex);
    if (registry().closed) {
      spawned = ECANCELED;
    } else {
      spawned = posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
      if (spawned == 0) {
        registry().running.insert(child);
      }
    }
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) {
    return launchError(program, spawned);
  }

  output.closeWrite();
  error.closeWrite();
  ChildOutput result;
  readBothToEnd(output.readEnd(), result.standardOutput, error.readEnd(), result.standardError);
  result.terminationStatus = waitForExit(child);
  return result;
}

void terminateChildProcesses() {
  std::lock_guard lock(registry().mutex);
  registry().closed = true;
  for (const pid_t child : registry().running) {
    kill(-child, SIGKILL);
  }
}

}  // namespace kelo
