// Child processes on POSIX systems (started as system_linux.cc and system_darwin.cc say), all of
// one call read by one poll loop. Every child leads a process group of its own and stands in a
// registry from its start until it has exited, so that it can be ended with all it started when
// the process must end early; once it has ended, what is left of its group is killed and reaped.
#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <numeric>
#include <optional>
#include <thread>

#include "platform/errno_text.h"
#include "platform/posix/system.h"
#include "platform/signals_blocked.h"

namespace kelo {

namespace {

// The registry: a fixed array that a signal handler reads without a lock. A slot is free (0),
// taken by a start under way (kStarting), or holds the process id of a child that has not
// exited yet. A child is published before anything can wait for it and leaves before it is
// reaped, so a process id in the registry never names another process.
constexpr pid_t kStarting = -1;
std::array<std::atomic<pid_t>, kMaximumChildren> registry;
std::atomic<bool> refusing{false};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// How long terminateChildProcesses waits for a start under way on another thread to publish
// its child: a start takes well under a millisecond unless the kernel holds it.
constexpr int kStartWaits = 100;
constexpr timespec kStartWait{0, 1'000'000};

// Descriptors a running child holds (two pipe read ends and its exit watch), and the two
// write ends a start holds besides until the child runs.
constexpr unsigned kDescriptorsPerChild = 3;
constexpr unsigned kDescriptorsPerStart = 2;
// Descriptors left to the rest of the process: its standard streams, what it inherited.
constexpr rlim_t kOwnDescriptors = 16;
// Processes the tool itself counts against the user's process limit (its main thread and the
// helper thread), and the share of the limit each child is given for itself and what it starts
// in turn: a code-signing program that is a shell script runs a pipeline of its own.
constexpr rlim_t kOwnProcesses = 2;
constexpr rlim_t kProcessesPerChild = 8;
// A process limit this low leaves no room for the helper thread: the calling thread does the
// work, so that the one child has processes to spare for what it starts.
constexpr rlim_t kProcessesForHelper = 6;
// Under a process limit below this, the user's own processes may come near it: they are counted
// before the children start and whenever a run fails, to tell a run that may have lacked a
// process from one that failed by itself.
constexpr rlim_t kScarceProcesses = 4096;
// How long the tool waits for what an ended child's process group left to be gone.
constexpr std::chrono::milliseconds kGroupsGoneWait{1000};
constexpr timespec kGroupsGonePoll{0, 1'000'000};

// What a child's pipe is read in.
constexpr std::size_t kReadChunk = 16384;

bool isShortage(int error) {
  return error == EMFILE || error == ENFILE || error == EAGAIN || error == ENOMEM;
}

PlatformError launchError(const std::string& program, int error) {
  return PlatformError{"The program " + program + " could not be started: " + errnoText(error)};
}

ChildFailure notStarted(const std::string& program, int error) {
  return {ChildFailure::Reason::notStarted, launchError(program, error)};
}

PlatformError processShortage(const std::string& program, rlim_t limit) {
  return PlatformError{"The program " + program +
                       " could not run for want of processes: the user's process limit of " +
                       std::to_string(limit) +
                       " leaves too few beside the user's other processes."};
}

// The user's process limit where it is low enough that the user's own processes may reach it.
std::optional<rlim_t> scarceProcessLimit() {
  rlimit processes{};
  if (getrlimit(RLIMIT_NPROC, &processes) != 0 || processes.rlim_cur == RLIM_INFINITY ||
      processes.rlim_cur >= kScarceProcesses) {
    return std::nullopt;
  }
  return processes.rlim_cur;
}

// `wanted`, or fewer when the process may not open that many children's descriptors, or when
// the user's process limit leaves fewer children their share beside the processes the user
// runs already (counted where the limit is scarce).
unsigned boundedByLimits(unsigned wanted, std::optional<rlim_t> scarce) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    const rlim_t room = files.rlim_cur > kOwnDescriptors + kDescriptorsPerStart
                            ? files.rlim_cur - kOwnDescriptors - kDescriptorsPerStart
                            : 0;
    wanted = static_cast<unsigned>(std::min<rlim_t>(wanted, room / kDescriptorsPerChild));
  }
  rlimit processes{};
  if (getrlimit(RLIMIT_NPROC, &processes) == 0 && processes.rlim_cur != RLIM_INFINITY) {
    rlim_t used = kOwnProcesses;
    if (const auto counted = scarce ? posix::userProcessCount() : std::nullopt) {
      used = std::max<rlim_t>(used, static_cast<rlim_t>(*counted));
    }
    const rlim_t room = processes.rlim_cur > used ? processes.rlim_cur - used : 0;
    wanted = static_cast<unsigned>(std::min<rlim_t>(wanted, room / kProcessesPerChild));
  }
  return std::clamp(wanted, 1u, kMaximumChildren);
}

bool helperHasRoom() {
  rlimit processes{};
  return getrlimit(RLIMIT_NPROC, &processes) != 0 || processes.rlim_cur == RLIM_INFINITY ||
         processes.rlim_cur >= kProcessesForHelper;
}

bool failed(const ChildOutcome& outcome) {
  return !outcome || outcome->terminationStatus != 0;
}

void closeDescriptor(int& descriptor) {
  if (descriptor >= 0) {
    close(descriptor);
    descriptor = -1;
  }
}

// One child from its start until it has been reaped.
struct Child {
  std::size_t run = 0;
  std::size_t slot = 0;
  pid_t pid = -1;
  std::array<int, 2> streams = {-1, -1};  // read ends: standard output, standard error
  std::array<std::string, 2> texts;
  posix::ExitWatch exit;
  bool overflowed = false;

  // Takes what the stream holds now; false once it is at its end or the child wrote too much.
  // Read straight into the text: no buffer on the stack of a thread that may have little.
  void read(std::size_t stream) {
    std::string& text = texts[stream];
    for (;;) {
      const std::size_t had = text.size();
      ssize_t count = -1;
      text.resize_and_overwrite(had + kReadChunk, [&](char* bytes, std::size_t) {
        count = ::read(streams[stream], bytes + had, kReadChunk);
        return had + static_cast<std::size_t>(std::max<ssize_t>(count, 0));
      });
      if (count < 0 && errno == EINTR) {
        continue;
      }
      if (count <= 0) {
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
          closeDescriptor(streams[stream]);
        }
        return;
      }
      if (text.size() > kMaximumChildOutputBytes) {
        overflowed = true;
        kill(-pid, SIGKILL);
        closeDescriptor(streams[0]);
        closeDescriptor(streams[1]);
        return;
      }
    }
  }

  // After the exit: the rest of the pipes, the registry, the exit status.
  ChildOutcome finish(const std::string& program) {
    for (std::size_t stream = 0; stream < streams.size(); ++stream) {
      if (streams[stream] >= 0) {
        read(stream);
        closeDescriptor(streams[stream]);
      }
    }
    closeDescriptor(exit.descriptor);
    const int status = reap();
    if (overflowed) {
      return std::unexpected(ChildFailure{
          ChildFailure::Reason::outputTooLarge,
          PlatformError{"The program " + program + " wrote more than " +
                        std::to_string(kMaximumChildOutputBytes >> 20) + " MiB to one stream."}});
    }
    return ChildOutput{std::move(texts[0]), std::move(texts[1]), status};
  }

  // The exit status, 128 + the signal that ended it, or -1 when it cannot be known (a wait
  // that fails, as when SIGCHLD is ignored and the system reaps children by itself): a status
  // that is never taken for success.
  int reap() {
    // Whatever it left running in its group ends with it, on success too; the group's id is
    // still the child's until it is reaped.
    kill(-pid, SIGKILL);
    registry[slot].store(0);  // leaves the registry first: once reaped, the id is not ours
    int status = 0;
    pid_t reaped = -1;
    while ((reaped = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    pid = -1;
    if (reaped < 0) {
      return -1;
    }
    if (WIFEXITED(status)) {
      return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
  }
};

std::optional<std::size_t> claimSlot() {
  for (std::size_t slot = 0; slot < registry.size(); ++slot) {
    pid_t free = 0;
    if (registry[slot].compare_exchange_strong(free, kStarting)) {
      return slot;
    }
  }
  return std::nullopt;
}

// Starts one child; fails with an errno value. The signals are blocked meanwhile, so that
// terminateChildProcesses never runs on this thread between the claim of a slot and the
// publication of the child in it.
std::expected<Child, int> start(const std::string& program,
                                const std::vector<std::string>& arguments) {
  const SignalsBlocked blocked;
  Child child;
  const auto slot = claimSlot();
  if (!slot) {
    return std::unexpected(EAGAIN);
  }
  child.slot = *slot;
  // Claimed before refusing is read, so that terminateChildProcesses, which sets refusing
  // before it reads the slots, either finds this slot or is seen here.
  if (refusing.load()) {
    registry[child.slot].store(0);
    return std::unexpected(ECANCELED);
  }
  std::array<int, 2> output{-1, -1};
  std::array<int, 2> error{-1, -1};
  const auto failed = [&](int code) {
    for (int* end : {&output[0], &output[1], &error[0], &error[1]}) {
      closeDescriptor(*end);
    }
    registry[child.slot].store(0);
    return std::unexpected(code);
  };
  if (!posix::openPipe(output) || !posix::openPipe(error)) {
    return failed(errno);
  }

  std::vector<char*> argv;
  argv.reserve(arguments.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);

  const auto spawned = posix::spawn(program.c_str(), argv.data(), output[1], error[1]);
  if (!spawned) {
    return failed(spawned.error());
  }
  child.pid = *spawned;
  registry[child.slot].store(child.pid);
  closeDescriptor(output[1]);
  closeDescriptor(error[1]);
  child.streams = {output[0], error[0]};

  const auto exit = posix::watchExit(child.pid);
  if (!exit) {
    // No word of its exit could be had: it goes, and the start counts as failed.
    kill(-child.pid, SIGKILL);
    child.reap();
    closeDescriptor(child.streams[0]);
    closeDescriptor(child.streams[1]);
    return std::unexpected(exit.error());
  }
  child.exit = *exit;
  for (const int stream : child.streams) {
    fcntl(stream, F_SETFL, fcntl(stream, F_GETFL) | O_NONBLOCK);
  }
  return child;
}

// The children of one call. Whatever is still running when it ends (an exception unwinding)
// is killed and reaped.
class Children {
 public:
  using Finished = std::function<void(std::size_t, ChildOutcome)>;

  Children(const std::string& program, const std::vector<std::vector<std::string>>& runs,
           unsigned concurrency)
      : program_(program),
        runs_(runs),
        scarce_(scarceProcessLimit()),
        concurrency_(boundedByLimits(concurrency, scarce_)) {}
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  ~Children() {
    for (auto& child : running_) {
      kill(-child.pid, SIGKILL);
      child.reap();
      for (int* descriptor : {&child.streams[0], &child.streams[1], &child.exit.descriptor}) {
        closeDescriptor(*descriptor);
      }
    }
  }

  // Every run, then once more, one at a time, each run that failed where there is evidence that
  // it may have lacked a process or a descriptor: a start of the tool's own failed for want of
  // one during the call, or the user's processes were close to their limit when it failed. Only
  // the second outcome counts, and it starts once everything the failed runs started is gone.
  // A run that fails again alone while the user's processes leave it less than its share fails
  // the call: it cannot be told from an application that is not signed. So does a start that
  // lacks descriptors, processes or memory while no child of this call runs, as nothing that
  // ends could give them back.
  std::expected<void, PlatformError> runAll(const Finished& finished) {
    std::vector<std::size_t> everyRun(runs_.size());
    std::iota(everyRun.begin(), everyRun.end(), std::size_t{0});
    std::vector<Failure> failures;
    auto done = runEach(everyRun, concurrency_, finished, &failures);
    std::vector<std::size_t> again;
    for (auto& failure : failures) {
      if (shortageSeen_ || failure.crowded) {
        again.push_back(failure.run);
      } else {
        finished(failure.run, std::move(failure.outcome));
      }
    }
    if (done && !again.empty()) {
      if (refusing.load()) {
        for (const std::size_t run : again) {
          finished(run, std::unexpected(notStarted(program_, ECANCELED)));
        }
      } else {
        waitForGroupsGone();
        std::ranges::sort(again);
        done = runEach(again, 1, finished, nullptr);
      }
    }
    waitForGroupsGone();
    return done;
  }

 private:
  // A failed run of the first round, held until the round is over.
  struct Failure {
    std::size_t run;
    ChildOutcome outcome;
    bool crowded;  // the user's processes were close to their limit when it failed
  };

  // Runs `which` of the runs, `limit` at a time. Where `failures` is given, a failed run is put
  // there instead of being reported.
  std::expected<void, PlatformError> runEach(const std::vector<std::size_t>& which, unsigned limit,
                                             const Finished& finished,
                                             std::vector<Failure>* failures) {
    std::size_t next = 0;
    while (next < which.size() || !running_.empty()) {
      while (next < which.size() && running_.size() < limit) {
        const std::size_t run = which[next];
        auto child = start(program_, runs_[run]);
        if (!child && isShortage(child.error())) {
          shortageSeen_ = true;
          if (running_.empty()) {
            return std::unexpected(launchError(program_, child.error()));
          }
          break;  // tried again once a running child has ended
        }
        ++next;
        if (!child) {
          finished(run, std::unexpected(notStarted(program_, child.error())));
          continue;
        }
        child->run = run;
        running_.push_back(std::move(*child));
      }
      waitForOutput();
      for (auto child = running_.begin(); child != running_.end();) {
        if (!child->exit.exited) {
          ++child;
          continue;
        }
        const std::size_t run = child->run;
        const pid_t group = child->pid;
        ChildOutcome outcome = child->finish(program_);
        child = running_.erase(child);
        groups_.push_back(group);
        reapGroups();
        if (failed(outcome) && failures != nullptr) {
          failures->push_back({run, std::move(outcome), processesTight(running_.size() + 1)});
          continue;
        }
        if (failed(outcome) && processesTight(1)) {
          return std::unexpected(processShortage(program_, scarce_.value_or(0)));
        }
        finished(run, std::move(outcome));
      }
    }
    return {};
  }

  // Whether the user's processes, counted once what the ended children left is gone, leave less
  // than a child's share to each of `children`.
  bool processesTight(std::size_t children) {
    if (!scarce_) {
      return false;
    }
    waitForGroupsGone();
    const auto count = posix::userProcessCount();
    return !count || static_cast<rlim_t>(*count) + kProcessesPerChild * children > *scarce_;
  }

  // Reaps what the ended children's process groups left behind (the tool adopts it, see
  // posix::adoptOrphans), and forgets each group that is gone.
  void reapGroups() {
    std::erase_if(groups_, [](pid_t group) {
      while (waitpid(-group, nullptr, WNOHANG) > 0) {
      }
      return kill(-group, 0) != 0;
    });
  }

  // Reaps until nothing of the ended children's groups is left, or for a bounded time: a
  // process the system keeps (one in uninterruptible sleep) must not hold up the request.
  void waitForGroupsGone() {
    const auto until = std::chrono::steady_clock::now() + kGroupsGoneWait;
    for (reapGroups(); !groups_.empty() && std::chrono::steady_clock::now() < until; reapGroups()) {
      nanosleep(&kGroupsGonePoll, nullptr);
    }
  }

  // Waits until a child has written or exited, and takes what there is.
  void waitForOutput() {
    if (running_.empty()) {
      return;
    }
    std::vector<pollfd> watched;
    for (const auto& child : running_) {
      for (const int descriptor : {child.streams[0], child.streams[1], child.exit.descriptor}) {
        watched.push_back({child.exit.exited ? -1 : descriptor, POLLIN, 0});
      }
    }
    const bool someExited =
        std::ranges::any_of(running_, [](const Child& c) { return c.exit.exited; });
    if (poll(watched.data(), watched.size(), someExited ? 0 : -1) < 0) {
      return;  // interrupted: looked at again
    }
    for (std::size_t index = 0; index < running_.size(); ++index) {
      Child& child = running_[index];
      for (std::size_t stream = 0; stream < child.streams.size(); ++stream) {
        if (watched[index * 3 + stream].revents != 0 && child.streams[stream] >= 0) {
          child.read(stream);
        }
      }
      if (watched[index * 3 + 2].revents != 0) {
        child.exit.exited = true;
      }
    }
  }

  const std::string& program_;
  const std::vector<std::vector<std::string>>& runs_;
  std::optional<rlim_t> scarce_;
  unsigned concurrency_;
  bool shortageSeen_ = false;
  std::vector<Child> running_;
  std::vector<pid_t> groups_;  // of ended children, until nothing of them is left
};

}  // namespace

std::expected<void, PlatformError> runChildProcesses(
    const std::string& program, const std::vector<std::vector<std::string>>& runs,
    unsigned concurrency,
    const std::function<void(std::size_t run, ChildOutcome outcome)>& finished) {
  if (runs.empty()) {
    return {};
  }
  posix::adoptOrphans();
  std::expected<void, PlatformError> result;
  std::exception_ptr failure;
  const auto work = [&] {
    try {
      result = Children(program, runs, concurrency).runAll(finished);
    } catch (...) {
      failure = std::current_exception();
    }
  };
  std::optional<std::thread> helper;
  if (helperHasRoom()) {
    const SignalsBlocked blocked;  // inherited by the helper
    try {
      helper.emplace(work);
    } catch (...) {  // NOLINT(bugprone-empty-catch): no thread to spare; this one does the work
    }
  }
  if (helper) {
    helper->join();
  } else {
    work();
  }
  if (failure) {
    std::rethrow_exception(failure);
  }
  return result;
}

void terminateChildProcesses() {
  refusing.store(true);
  for (auto& slot : registry) {
    pid_t child = slot.load();
    for (int wait = 0; child == kStarting && wait < kStartWaits; ++wait) {
      nanosleep(&kStartWait, nullptr);
      child = slot.load();
    }
    if (child > 0) {
      kill(-child, SIGKILL);
    }
  }
}

}  // namespace kelo
