// The driver: the command table, reading the request, running the command's operation under
// the bounded wait and writing exactly one document. Runs on the main thread.
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "bounded_wait.h"
#include "deadline_guard.h"
#include "kelo_desktop_ne_manager.h"
#include "platform/child_process.h"

namespace kelo {

namespace {

constexpr char kUsage[] = "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>";

// One write of the complete bytes, continued only if the stream takes them in parts.
void writeAll(int descriptor, const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t count = write(descriptor, bytes.data() + written, bytes.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return;
    }
    written += static_cast<std::size_t>(count);
  }
}

void writeJSON(const StatusPayload& value) {
  writeAll(STDOUT_FILENO, value.encoded());
}

void writeFailure(const Error& error) {
  writeAll(STDERR_FILENO, failureDocument(failureMessage(error)));
}

// Standard input to its end, or one byte past the largest request, whichever comes first.
std::string readStandardInput() {
  std::string bytes;
  std::array<char, 65536> buffer;
  while (bytes.size() <= kMaximumRequestBytes) {
    const ssize_t count = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    bytes.append(buffer.data(), static_cast<std::size_t>(count));
  }
  return bytes;
}

template <class Request>
Result<Request> readJSONFromStdin() {
  const std::string bytes = readStandardInput();
  if (bytes.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Expected JSON payload on stdin.")});
  }
  return Request::decode(bytes);
}

using CommandOperation = Operation<StatusPayload>;

Result<CommandOperation> prepareConnect() {
  auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return [payload = std::move(*request)](Completion<StatusPayload> completion) {
    KeloDesktopNEManager::connect(payload, std::move(completion));
  };
}

Result<CommandOperation> prepareDisconnect() {
  return &KeloDesktopNEManager::disconnect;
}

Result<CommandOperation> prepareStatus() {
  return &KeloDesktopNEManager::status;
}

Result<CommandOperation> prepareUpdateAppRules() {
  auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return [payload = std::move(*request)](Completion<StatusPayload> completion) {
    KeloDesktopNEManager::updateAppRules(payload, std::move(completion));
  };
}

// The command table, compared in this order. Preparing a command reads and decodes its
// request, if it takes one, before any platform work starts.
struct Command {
  std::string_view word;
  Result<CommandOperation> (*prepare)();
};

constexpr std::array<Command, 4> kCommands = {{
    {"connect", prepareConnect},
    {"disconnect", prepareDisconnect},
    {"status", prepareStatus},
    {"update-app-rules", prepareUpdateAppRules},
}};

Result<StatusPayload> runCommand(std::span<const std::string> arguments, DeadlineGuard& guard) {
  if (arguments.size() < 2) {
    return std::unexpected(Error{ManagerError::invalidCommand(kUsage)});
  }
  const std::string& word = arguments[1];
  for (const Command& command : kCommands) {
    if (command.word != word) {
      continue;
    }
    const auto operation = command.prepare();
    if (!operation) {
      return std::unexpected(operation.error());
    }
    return awaitResult<StatusPayload>(
        std::chrono::duration<double>(kTimeLimitSeconds), *operation,
        [&guard](RunLoop::Clock::time_point deadline) {
          guard.arm(deadline + std::chrono::duration_cast<RunLoop::Clock::duration>(kRunLoopSlice));
        });
  }
  return std::unexpected(Error{ManagerError::invalidCommand("Unknown command: " + word)});
}

}  // namespace

int KeloDesktopNEManager::main(std::span<const std::string> arguments) {
  // A reader that goes away must not kill the tool halfway through a change.
  signal(SIGPIPE, SIG_IGN);

  // Were the main thread held up past the deadline (one slice of grace: a free main thread
  // notices the deadline itself), the guard reports the time-out in its place.
  DeadlineGuard guard([] {
    terminateChildProcesses();
    writeFailure(ManagerError::timedOut(kTimedOutMessage));
    _exit(1);
  });
  const auto result = runCommand(arguments, guard);
  if (!guard.claimOutcome()) {
    for (;;) {
      pause();  // the guard is writing the outcome and ending the process
    }
  }
  guard.disarm();
  if (!result) {
    writeFailure(result.error());
    return 1;
  }
  writeJSON(*result);
  return 0;
}

}  // namespace kelo
