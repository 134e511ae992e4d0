#include "deadline.h"

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/change_gate.h"
#include "platform/child_process.h"
#include "tunnel/bounded_wait.h"

namespace kelo::deadline {

namespace {

struct Ending {
  int signal;
  const char* name;  // what the document names; none for the deadline
  std::string document;
};

// Rendered before any handler can run: a handler may not allocate.
std::array<Ending, 4> endings = {{
    {SIGALRM, nullptr, {}},
    {SIGTERM, "SIGTERM", {}},
    {SIGINT, "SIGINT", {}},
    {SIGHUP, "SIGHUP", {}},
}};

void end(int signal) {
  if (!changes::close()) {
    return;  // the main thread has the outcome and is writing its own document
  }
  terminateChildProcesses();
  for (const Ending& ending : endings) {
    if (ending.signal == signal) {
      (void)!write(STDERR_FILENO, ending.document.data(), ending.document.size());
    }
  }
  _exit(1);
}

}  // namespace

void arm(std::chrono::steady_clock::time_point expiry) {
  sigset_t handled;
  sigemptyset(&handled);
  for (Ending& ending : endings) {
    ending.document =
        failureDocument(ending.name == nullptr ? tunnel::kTimedOutMessage
                                               : std::string("Stopped by ") + ending.name +
                                                     " before the request was complete.");
    sigaddset(&handled, ending.signal);
  }

  struct sigaction action {};
  action.sa_handler = end;
  action.sa_mask = handled;  // one ending at a time
  action.sa_flags = SA_RESTART;
  for (const Ending& ending : endings) {
    struct sigaction inherited {};
    sigaction(ending.signal, nullptr, &inherited);
    // A stop signal the caller had ignored (nohup, say) stays ignored; the deadline never is.
    if (ending.signal != SIGALRM && inherited.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(ending.signal, &action, nullptr);
  }
  // A mask inherited from the caller must not hold the deadline back.
  pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);

  const auto remaining = std::chrono::duration_cast<std::chrono::microseconds>(
      expiry - std::chrono::steady_clock::now());
  const auto microseconds = std::max<std::chrono::microseconds::rep>(remaining.count(), 1);
  itimerval timer{};
  timer.it_value.tv_sec = static_cast<time_t>(microseconds / 1'000'000);
  timer.it_value.tv_usec = static_cast<suseconds_t>(microseconds % 1'000'000);
  setitimer(ITIMER_REAL, &timer, nullptr);
}

}  // namespace kelo::deadline
