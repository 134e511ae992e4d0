// The driver: the command table, reading the request, running the command and writing exactly
// one document. Runs on the main thread.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "commands/commands.h"
#include "deadline.h"
#include "platform/change_gate.h"
#include "platform/descriptors.h"
#include "platform/store_lock.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/tunnel_control.h"

namespace kelo {

constexpr double kTimeLimitSeconds = 15.0;

namespace {
constexpr char kUsage[] = "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>";

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

// A run that changes profiles holds the store's lock from the moment its request is decoded
// until the process ends, so that runs against one store follow each other.
template <class Operation>
Result<StatusPayload> underStoreLock(Operation operation) {
  static std::optional<StoreLock> held;
  auto lock = lockProfileStore();
  if (!lock) {
    return std::unexpected(Error{ManagerError::networkExtension(
        "Failed to lock packet tunnel preferences: " + lock.error().localizedDescription)});
  }
  held.emplace(std::move(*lock));
  return operation();
}

Result<StatusPayload> runConnect(tunnel::Deadline deadline) {
  const auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock([&] { return commands::connect(*request, contextUntil(deadline)); });
}

Result<StatusPayload> runDisconnect(tunnel::Deadline deadline) {
  return underStoreLock([&] { return commands::disconnect(deadline); });
}

Result<StatusPayload> runUpdateAppRules(tunnel::Deadline deadline) {
  const auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock([&] { return commands::updateAppRules(*request, contextUntil(deadline)); });
}

// The command table, compared in this order. A command that takes a request reads and decodes
// it before any platform work starts.
struct Command {
  std::string_view word;
  Result<StatusPayload> (*run)(tunnel::Deadline deadline);
};

constexpr std::array<Command, 4> kCommands = {{
    {"connect", runConnect},
    {"disconnect", runDisconnect},
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

// The documents live as long as the process: a handler may be the one that finishes writing
// them (see deadline::deliver).
std::string statusDocument;
std::string failureText;

deadline::Delivery writeJSON(const StatusPayload& value) {
  statusDocument = value.encoded();
  return deadline::deliver(STDOUT_FILENO, statusDocument, 0);
}

void writeFailure(const Error& error) {
  failureText = failureDocument(failureMessage(error));
  (void)deadline::deliver(STDERR_FILENO, failureText, 1);
}

// Writes the run's one document and returns the exit status. A failure that came after an
// ending was asked for (a stop signal, the deadline) is that ending; a success is a success.
int writeOutcome(const Result<StatusPayload>& result) {
  if (!result) {
    if (const int ending = changes::requestedEnding(); ending != 0) {
      (void)deadline::deliver(STDERR_FILENO, deadline::endingDocument(ending), 1);
    } else {
      writeFailure(result.error());
    }
    return 1;
  }
  switch (writeJSON(*result)) {
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
      std::strerror(error) + "."));
  return 1;
}

// Takes the process arguments, writes one document, returns the exit status.
int main(std::span<const std::string> arguments) {
  // The limit counts from the start: reading the request belongs to the request.
  const auto deadline =
      runloop::Clock::now() + std::chrono::duration_cast<runloop::Clock::duration>(
                                  std::chrono::duration<double>(kTimeLimitSeconds));
  // A parent that ignores SIGCHLD would leave children reaped before their status is read.
  signal(SIGCHLD, SIG_DFL);
  try {
    return writeOutcome(runCommand(arguments, deadline));
  } catch (const std::bad_alloc&) {
    (void)deadline::deliver(STDERR_FILENO, deadline::outOfMemoryDocument(), 1);
    return 1;
  } catch (const std::exception& error) {
    return writeOutcome(std::unexpected(unexpectedFailure(error.what())));
  } catch (...) {
    return writeOutcome(std::unexpected(unexpectedFailure("an unknown exception")));
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
