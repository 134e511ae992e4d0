// The driver: the command table, reading the request, running the command and writing exactly
// one document. Runs on the main thread.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "deadline.h"
#include "platform/change_gate.h"
#include "platform/descriptors.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/tunnel_control.h"

namespace kelo {

namespace {

constexpr double kTimeLimitSeconds = 15.0;
constexpr char kUsage[] = "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>";

// Each document is one unbuffered write of its complete bytes (carried on only if the stream
// takes them in parts), so nothing is lost when the process ends right after. False when the
// stream did not take them all.
bool writeJSON(const StatusPayload& value) {
  return writeAll(STDOUT_FILENO, value.encoded());
}

void writeFailure(const Error& error) {
  (void)writeAll(STDERR_FILENO, failureDocument(failureMessage(error)));
}

template <class Request>
Result<Request> readJSONFromStdin() {
  // Read to its end, or to one byte past the largest request, which decoding then refuses.
  std::string bytes;
  readToEnd(STDIN_FILENO, bytes, kMaximumRequestBytes);
  if (bytes.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Expected JSON payload on stdin.")});
  }
  return Request::decode(bytes);
}

// What the commands that change a profile stand on: the fixed restart delay, application
// roots and code-signing program.
commands::Context contextUntil(tunnel::Deadline deadline) {
  return {deadline, tunnel::kRestartDelay, apprules::AppRuleSources::system()};
}

Result<StatusPayload> runConnect(tunnel::Deadline deadline) {
  const auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return commands::connect(*request, contextUntil(deadline));
}

Result<StatusPayload> runUpdateAppRules(tunnel::Deadline deadline) {
  const auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return commands::updateAppRules(*request, contextUntil(deadline));
}

// The command table, compared in this order. A command that takes a request reads and decodes
// it before any platform work starts.
struct Command {
  std::string_view word;
  Result<StatusPayload> (*run)(tunnel::Deadline deadline);
};

constexpr std::array<Command, 4> kCommands = {{
    {"connect", runConnect},
    {"disconnect", commands::disconnect},
    {"status", commands::status},
    {"update-app-rules", runUpdateAppRules},
}};

Result<StatusPayload> runCommand(std::span<const std::string> arguments,
                                 tunnel::Deadline deadline) {
  if (arguments.size() < 2) {
    return std::unexpected(Error{ManagerError::invalidCommand(kUsage)});
  }
  const std::string& word = arguments[1];
  for (const Command& command : kCommands) {
    if (command.word == word) {
      return command.run(deadline);
    }
  }
  return std::unexpected(Error{ManagerError::invalidCommand("Unknown command: " + word)});
}

// An exception that reached the driver: a fault of the tool, reported like any other failure.
Error unexpectedFailure(const char* what) {
  return ManagerError::networkExtension(std::string("Unexpected failure: ") + what + ".");
}

// Takes the process arguments, writes one document, returns the exit status.
int main(std::span<const std::string> arguments) {
  // The limit counts from the start: reading the request belongs to the request.
  const auto deadline =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(
                                  std::chrono::duration<double>(kTimeLimitSeconds));
  // A reader that goes away must not kill the tool halfway through a change.
  signal(SIGPIPE, SIG_IGN);
  // A parent that ignores SIGCHLD would leave children reaped before their status is read.
  signal(SIGCHLD, SIG_DFL);
  // Were the main thread held up past the deadline (one slice of grace: a free main thread
  // notices the deadline itself), or the process asked to stop, a signal handler reports it.
  deadline::arm(deadline +
                std::chrono::duration_cast<runloop::Clock::duration>(tunnel::kRunLoopSlice));

  Result<StatusPayload> result = std::unexpected(unexpectedFailure("no outcome"));
  try {
    result = runCommand(arguments, deadline);
  } catch (const std::exception& error) {
    result = std::unexpected(unexpectedFailure(error.what()));
  } catch (...) {
    result = std::unexpected(unexpectedFailure("an unknown exception"));
  }
  // Claimed before the document: no change follows it, and no handler writes another.
  if (!changes::close()) {
    for (;;) {
      pause();  // a handler on another thread is writing the outcome and ending the process
    }
  }
  if (!result) {
    writeFailure(result.error());
    return 1;
  }
  if (!writeJSON(*result)) {
    const int error = errno;
    writeFailure(ManagerError::networkExtension(
        std::string("The status document could not be written to standard output: ") +
        std::strerror(error) + "."));
    return 1;
  }
  return 0;
}

}  // namespace

}  // namespace kelo

int main(int argc, char** argv) {
  // Before anything opens a descriptor: none of the tool's may become a standard stream.
  kelo::openClosedStandardStreams();
  const std::vector<std::string> arguments(argv, argv + argc);
  return kelo::main(arguments);
}
