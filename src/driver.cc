// The driver: the command table, reading the request, running the command and writing exactly
// one document. Runs on the main thread.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <span>
#include <string>
#include <vector>

#include "command_table.h"
#include "deadline.h"
#include "payloads/failure_document.h"
#include "platform/change_gate.h"
#include "platform/descriptors.h"
#include "platform/errno_text.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/tunnel_control.h"

namespace kelo {

constexpr double kTimeLimitSeconds = 15.0;

namespace {

// An exception that reached the driver: a fault of the tool, reported like any other failure.
Error unexpectedFailure(const char* what) {
  return ManagerError::networkExtension(std::string("Unexpected failure: ") + what + ".")
      .coded(FailureCode::internal);
}

// The documents live as long as the process: a handler may be the one that finishes writing
// them (see deadline::deliver).
std::string replyDocument;
std::string failureText;

void writeFailure(const Error& error, Protocol protocol, int endedBy = 0) {
  const auto* own = std::get_if<ManagerError>(&error);
  if (endedBy != 0 && (own == nullptr || !own->repair)) {
    // An ending with nothing left unrepaired: its document was rendered in advance, so writing
    // it allocates nothing, even with the memory exhausted.
    (void)deadline::deliver(STDERR_FILENO, endingDocument(protocol, endedBy, failureStep(error)),
                            1);
    return;
  }
  failureText = failureDocument(error, protocol, endedBy);
  (void)deadline::deliver(STDERR_FILENO, failureText, 1);
}

// Writes the run's one document and returns the exit status. A failure that came after an
// ending was asked for (a stop signal, the deadline) is that ending, followed by what its
// repair could not undo; a success is a success.
int writeOutcome(const Result<Reply>& result, Protocol protocol) {
  if (!result) {
    writeFailure(result.error(), protocol, changes::requestedEnding());
    return 1;
  }
  replyDocument = encoded(*result, protocol);
  switch (deadline::deliver(STDOUT_FILENO, replyDocument, 0)) {
    case deadline::Delivery::complete:
      return 0;
    case deadline::Delivery::partial:
      return 1;  // part of a status document went out: no failure document may follow it
    case deadline::Delivery::nothingWritten:
      break;
  }
  const int error = errno;
  writeFailure(ManagerError::networkExtension(
                   std::string("The status document could not be written to standard output: ") +
                   errnoText(error) + ".")
                   .coded(error == EFBIG || error == ENOSPC ? FailureCode::resources
                                                            : FailureCode::internal),
               protocol);
  return 1;
}

// Where rules come from. A build of the tool for tests may name another code-signing program
// (tests/CMakeLists.txt), so that runs with children need no fake system root; the tool itself
// always runs the system's.
apprules::AppRuleSources ruleSources() {
  auto sources = apprules::AppRuleSources::system();
#ifdef KELO_TEST_CODESIGN_PROGRAM
  sources.codesignPath = KELO_TEST_CODESIGN_PROGRAM;
#endif
  return sources;
}

// Takes the process arguments, writes one document, returns the exit status.
int main(std::span<const std::string> arguments) {
  // The limit counts from the start: reading the request belongs to the request.
  const auto deadline =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(
                                  std::chrono::duration<double>(kTimeLimitSeconds));
  // A parent that ignores SIGCHLD would leave children reaped before their status is read.
  signal(SIGCHLD, SIG_DFL);
  const Protocol protocol = requestedProtocol(arguments);
  deadline::answerIn(protocol);
  try {
    return writeOutcome(
        runCommand(arguments,
                   {deadline,
                    [deadline] {
                      return commands::Context{deadline, tunnel::kRestartDelay, ruleSources()};
                    }}),
        protocol);
  } catch (const std::bad_alloc&) {
    (void)deadline::deliver(STDERR_FILENO, outOfMemoryDocument(protocol), 1);
    return 1;
  } catch (const std::exception& error) {
    return writeOutcome(std::unexpected(unexpectedFailure(error.what())), protocol);
  } catch (...) {
    return writeOutcome(std::unexpected(unexpectedFailure("an unknown exception")), protocol);
  }
}

}  // namespace

}  // namespace kelo

int main(int argc, char** argv) {
  // First of all: from here on a stop signal or the deadline gets its document. Were the main
  // thread held up past the deadline (one slice of grace: a free main thread notices the
  // deadline itself), or the process asked to stop, a signal handler reports it.
  kelo::deadline::arm(std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(kelo::kTimeLimitSeconds) + kelo::tunnel::kRunLoopSlice));
  // Before anything opens a descriptor: none of the tool's may become a standard stream.
  kelo::openClosedStandardStreams();
  const std::vector<std::string> arguments(argv, argv + argc);
  return kelo::main(arguments);
}
