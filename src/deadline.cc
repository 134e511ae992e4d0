#include "deadline.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>

#include "payloads/failure_document.h"
#include "payloads/progress.h"
#include "platform/change_gate.h"
#include "platform/child_process.h"
#include "platform/signals_blocked.h"

namespace kelo::deadline {

namespace {

constexpr std::array<int, 4> kHandled = {SIGALRM, SIGTERM, SIGINT, SIGHUP};

// How long the main thread is given to honour an ending it was asked for, and how long a
// handler tries to finish a document on a stream that does not take it at once.
constexpr std::int64_t kGraceNanoseconds = 250'000'000;
constexpr std::int64_t kHandlerWriteNanoseconds = 100'000'000;
// Written at most this much at a time once the stream is ready, so that a write never blocks:
// a pipe that polls writable takes this many bytes whole.
constexpr std::size_t kReadyChunk = PIPE_BUF;

// Freed when memory runs out, so that unwinding and the failure document find some.
constexpr std::size_t kReserveBytes = std::size_t{64} * 1024;
void* reserve = nullptr;

// When the timer is due, on the monotonic clock; a timer signal before it is not the deadline.
std::atomic<std::int64_t> due{0};

// The protocol the handlers answer in.
std::atomic<Protocol> protocol{Protocol::one};
static_assert(std::atomic<Protocol>::is_always_lock_free, "a signal handler reads it");

// The signal that the handler ending the run took, for the document it finishes.
std::atomic<int> endedBy{SIGALRM};

// The document the main thread claimed the outcome for.
struct Claimed {
  std::atomic<int> descriptor{-1};
  std::atomic<const char*> bytes{nullptr};
  std::atomic<std::size_t> size{0};
  std::atomic<std::size_t> written{0};
  std::atomic<int> exitStatus{1};
};
Claimed claimed;

std::int64_t monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void setTimer(std::int64_t nanoseconds) {
  const std::int64_t microseconds = std::max<std::int64_t>(nanoseconds / 1000, 1);
  itimerval timer{};
  timer.it_value.tv_sec = static_cast<time_t>(microseconds / 1'000'000);
  timer.it_value.tv_usec = static_cast<suseconds_t>(microseconds % 1'000'000);
  setitimer(ITIMER_REAL, &timer, nullptr);
}

// Writes what is left of `bytes` from `written` on, waiting for the stream until `until` on
// the monotonic clock. A write is made only once the stream polls ready and never of more than
// it then takes whole. With `blocked` set, the handled signals are blocked around each write,
// so that `written` always says what the stream has (a handler may read it at any moment).
bool writeUntil(int descriptor, std::string_view bytes, std::atomic<std::size_t>& written,
                std::int64_t until, const sigset_t* blocked) {
  while (written.load() < bytes.size()) {
    const std::int64_t left = until - monotonicNow();
    if (left <= 0) {
      errno = ETIMEDOUT;
      return false;
    }
    pollfd ready{descriptor, POLLOUT, 0};
    const int polled = poll(&ready, 1,
                            static_cast<int>(std::min<std::int64_t>(
                                left / 1'000'000 + 1, std::numeric_limits<int>::max())));
    if (polled < 0 && errno != EINTR) {
      return false;
    }
    if (polled <= 0) {
      continue;
    }
    const std::size_t from = written.load();
    const std::size_t count = std::min(bytes.size() - from, kReadyChunk);
    ssize_t wrote = -1;
    int error = 0;
    {
      sigset_t previous;
      if (blocked != nullptr) {
        pthread_sigmask(SIG_BLOCK, blocked, &previous);
      }
      wrote = write(descriptor, bytes.data() + from, count);
      error = errno;
      if (wrote > 0) {
        written.store(from + static_cast<std::size_t>(wrote));
      }
      if (blocked != nullptr) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      }
    }
    if (wrote < 0 && error != EINTR && error != EAGAIN && error != EWOULDBLOCK) {
      errno = error;
      return false;
    }
    if (wrote == 0) {
      errno = EIO;
      return false;
    }
  }
  return true;
}

// The handler's own document, within its short bound, then the end.
[[noreturn]] void endWith(std::string_view document) {
  std::atomic<std::size_t> written{0};
  (void)writeUntil(STDERR_FILENO, document, written, monotonicNow() + kHandlerWriteNanoseconds,
                   nullptr);
  _exit(1);
}

// The main thread claimed the outcome and is writing its document: the handler finishes it
// within its short bound. A status document of which nothing got through gives way to a
// failure on standard error that says so.
[[noreturn]] void finishClaimed() {
  const std::string_view document(claimed.bytes.load(), claimed.size.load());
  const int descriptor = claimed.descriptor.load();
  if (writeUntil(descriptor, document, claimed.written, monotonicNow() + kHandlerWriteNanoseconds,
                 nullptr)) {
    _exit(claimed.exitStatus.load());
  }
  if (claimed.written.load() == 0 && descriptor == STDOUT_FILENO) {
    endWith(notDeliveredDocument(protocol.load(), endedBy.load()));
  }
  _exit(1);
}

void end(int signal) {
  const int interrupted = errno;  // the interrupted code may be about to read it
  const std::int64_t now = monotonicNow();
  if (signal == SIGALRM && now < due.load()) {
    errno = interrupted;
    return;  // not the deadline: sent by someone else, or left pending by the caller
  }
  if (claimed.bytes.load() == nullptr && changes::hasBegun() && changes::requestedEnding() == 0) {
    // A change has begun: the main thread ends the run at its next step, with its success if
    // the last change is made by then. Children are ended now; the timer is the backstop.
    changes::requestEnding(signal);
    terminateChildProcesses();
    // The timer ends the run itself after the grace: from now, unless it is due sooner (the
    // deadline's own signal finds it due already, and sets it again).
    if (const std::int64_t at = due.load(); at <= now || at > now + kGraceNanoseconds) {
      due.store(now + kGraceNanoseconds);
      setTimer(kGraceNanoseconds);
    }
    errno = interrupted;
    return;
  }
  endedBy.store(signal);
  if (!changes::close()) {
    finishClaimed();
  }
  terminateChildProcesses();
  changes::removeLeftovers();
  const int requested = changes::requestedEnding();
  endWith(
      endingDocument(protocol.load(), requested != 0 ? requested : signal, progress::current()));
}

// An exception that nothing caught, or one thrown while another unwound (memory that ran out
// while the JSON library freed by allocating): one document all the same.
[[noreturn]] void terminated() {
  std::string_view document = abnormalEndDocument(protocol.load());
  if (const std::exception_ptr current = std::current_exception()) {
    try {
      std::rethrow_exception(current);
    } catch (const std::bad_alloc&) {
      document = outOfMemoryDocument(protocol.load());
    } catch (...) {
      document = abnormalEndDocument(protocol.load());
    }
  }
  if (!changes::close()) {
    finishClaimed();
  }
  terminateChildProcesses();
  changes::removeLeftovers();
  endWith(document);
}

// The first time memory runs out, the reserve is given back and the shortage reported as
// usual, so that what runs while the exception unwinds finds memory.
void memoryRanOut() {
  std::set_new_handler(nullptr);
  std::free(reserve);
  reserve = nullptr;
  throw std::bad_alloc();
}

}  // namespace

void answerIn(Protocol chosen) {
  protocol.store(chosen);
}

void arm(std::chrono::nanoseconds limit) {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kHandled) {
    sigaddset(&handled, signal);
  }
  due.store(monotonicNow() + limit.count());

  struct sigaction action {};
  action.sa_handler = end;
  action.sa_mask = handled;  // one ending at a time
  action.sa_flags = SA_RESTART;
  for (const int signal : kHandled) {
    struct sigaction inherited {};
    sigaction(signal, nullptr, &inherited);
    // A stop signal the caller had ignored (nohup, say) stays ignored; the deadline never is.
    if (signal != SIGALRM && inherited.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
  // A reader that goes away, or a file size limit, must not kill the tool halfway through a
  // change: the write fails, and that is reported.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  // A mask inherited from the caller must not hold the deadline back.
  pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
  setTimer(limit.count());

  reserve = std::malloc(kReserveBytes);
  std::set_new_handler(memoryRanOut);
  std::set_terminate(terminated);
}

Delivery deliver(int descriptor, std::string_view document, int exitStatus) {
  sigset_t handled;
  sigemptyset(&handled);
  for (const int signal : kHandled) {
    sigaddset(&handled, signal);
  }
  {
    // A handler sees the outcome unclaimed and no document, or both claimed and published.
    const SignalsBlocked blocked(handled);
    if (claimed.bytes.load() == nullptr && !changes::close()) {
      for (;;) {
        pause();  // a handler on another thread is writing the outcome and ending the process
      }
    }
    claimed.written.store(0);
    claimed.descriptor.store(descriptor);
    claimed.size.store(document.size());
    claimed.exitStatus.store(exitStatus);
    // NOLINTNEXTLINE(bugprone-suspicious-stringview-data-usage): its size is stored beside it
    claimed.bytes.store(document.data());
  }
  // No longer than the deadline and the grace after it: the timer's handler has ended the run
  // by then, unless its signal cannot arrive.
  const bool complete =
      writeUntil(descriptor, document, claimed.written, due.load() + kGraceNanoseconds, &handled);
  if (complete) {
    return Delivery::complete;
  }
  return claimed.written.load() == 0 ? Delivery::nothingWritten : Delivery::partial;
}

}  // namespace kelo::deadline
