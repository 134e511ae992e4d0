#include "deadline_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>

namespace kelo {

namespace {

constexpr std::array<int, 3> kStopSignals = {SIGTERM, SIGINT, SIGHUP};
constexpr unsigned char kDisarm = 0;  // no signal has this number

// The stop signals reach the watcher through a pipe: writing a byte is all a signal handler
// may safely do. The pipe lives as long as the process.
std::array<int, 2> wakeUps = {-1, -1};

void forwardSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  (void)!write(wakeUps[1], &byte, 1);
  errno = saved;
}

}  // namespace

DeadlineGuard::DeadlineGuard(Expiry expire) : expire_(std::move(expire)) {
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
  watcher_ = std::thread([this, deadline] { watch(deadline); });
}

void DeadlineGuard::watch(runloop::Clock::time_point deadline) {
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
    unsigned char byte = kDisarm;
    if (read(wakeUps[0], &byte, 1) == 1) {
      if (byte == kDisarm) {
        return;
      }
      signal = byte;
      break;
    }
  }
  if (claimOutcome()) {
    expire_(signal);
  }
}

void DeadlineGuard::disarm() {
  if (!watcher_.joinable()) {
    return;
  }
  const unsigned char byte = kDisarm;
  if (wakeUps[1] < 0 || write(wakeUps[1], &byte, 1) != 1) {
    watcher_.detach();  // it ends at the deadline, with the outcome already claimed
    return;
  }
  watcher_.join();
}

}  // namespace kelo
