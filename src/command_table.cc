#include "command_table.h"

#include <unistd.h>

#include <array>
#include <string_view>

#include "platform/descriptors.h"
#include "platform/store_lock.h"

namespace kelo {

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

// A run that changes profiles holds the store's lock from the moment its request is decoded
// until its last step is done, so that runs against one store follow each other.
template <class Operation>
Result<StatusPayload> underStoreLock(Operation operation) {
  const auto lock = lockProfileStore();
  if (!lock) {
    return std::unexpected(Error{ManagerError::networkExtension(
        "Failed to lock packet tunnel preferences: " + lock.error().localizedDescription)});
  }
  return operation();
}

Result<StatusPayload> runConnect(const commands::Context& context) {
  const auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock([&] { return commands::connect(*request, context); });
}

Result<StatusPayload> runDisconnect(const commands::Context& context) {
  return underStoreLock([&] { return commands::disconnect(context.deadline); });
}

Result<StatusPayload> runStatus(const commands::Context& context) {
  return commands::status(context.deadline);
}

Result<StatusPayload> runUpdateAppRules(const commands::Context& context) {
  const auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock([&] { return commands::updateAppRules(*request, context); });
}

// The command table, compared in this order. A command that takes a request reads and decodes
// it before any platform work starts.
struct Command {
  std::string_view word;
  Result<StatusPayload> (*run)(const commands::Context& context);
};

constexpr std::array<Command, 4> kCommands = {{
    {"connect", runConnect},
    {"disconnect", runDisconnect},
    {"status", runStatus},
    {"update-app-rules", runUpdateAppRules},
}};

}  // namespace

Result<StatusPayload> runCommand(std::span<const std::string> arguments,
                                 const commands::Context& context) {
  if (arguments.size() < 2) {
    return std::unexpected(Error{ManagerError::invalidCommand(kUsage)});
  }
  const std::string& word = arguments[1];
  for (const Command& command : kCommands) {
    if (command.word == word) {
      return command.run(context);
    }
  }
  return std::unexpected(Error{ManagerError::invalidCommand("Unknown command: " + word)});
}

}  // namespace kelo
