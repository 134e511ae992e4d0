#include "deadline_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <thread>

namespace kelo {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGTERM, SIGINT, SIGHUP};

// The stop signals reach the watcher through a pipe: writing a byte is all a signal handler
// may safely do. The pipe lives as long as the process.
std::array<int, 2> wakeUps = {-1, -1};

void forwardSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  (void)!write(wakeUps[1], &byte, 1);
  errno = saved;
}

// Waits for the deadline or a stop signal, then reports it unless the outcome is taken.
void watch(runloop::Clock::time_point deadline, DeadlineGuard::Expiry& expire,
           std::atomic<bool>& claimed) {
  int signal = 0;
  for (;;) {
    const auto remaining = deadline - runloop::Clock::now();
    if (remaining <= runloop::Clock::duration::zero()) {
      break;
    }
    pollfd wakeUp{wakeUps[0], POLLIN, 0};
    const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    const int ready = poll(&wakeUp, wakeUps[0] >= 0 ? 1 : 0, static_cast<int>(milliseconds));
    if (ready <= 0) {
      continue;  // the deadline is looked at again, after an interruption too
    }
    unsigned char byte = 0;
    if (read(wakeUps[0], &byte, 1) == 1) {
      signal = byte;
      break;
    }
  }
  if (!claimed.exchange(true)) {
    expire(signal);
  }
}

}  // namespace

struct DeadlineGuard::State {
  Expiry expire;
  std::atomic<bool> claimed{false};
};

DeadlineGuard::DeadlineGuard(Expiry expire)
    : state_([]() -> State& {
        static State* const state = new State;
        return *state;
      }()) {
  state_.expire = std::move(expire);
  if (pipe(wakeUps.data()) != 0) {
    return;  // without the pipe the deadline still holds; stop signals keep their default
  }
  for (const int end : wakeUps) {
    fcntl(end, F_SETFD, FD_CLOEXEC);
  }
  fcntl(wakeUps[1], F_SETFL, O_NONBLOCK);  // a handler must never block
  struct sigaction action {};
  action.sa_handler = forwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : kStopSignals) {
    sigaction(signal, &action, nullptr);
  }
}

void DeadlineGuard::arm(runloop::Clock::time_point deadline) {
  State* state = &state_;
  std::thread([state, deadline] { watch(deadline, state->expire, state->claimed); }).detach();
}

bool DeadlineGuard::claimOutcome() {
  return !state_.claimed.exchange(true);
}

}  // namespace kelo
