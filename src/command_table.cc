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
    return std::unexpected(
        Error{ManagerError::networkExtension("Failed to lock packet tunnel preferences: " +
                                             lock.error().localizedDescription)
                  .at(Step::lock)});
  }
  return operation();
}

Result<StatusPayload> runConnect(const Surroundings& surroundings) {
  const auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock([&] { return commands::connect(*request, surroundings.changeContext()); });
}

Result<StatusPayload> runDisconnect(const Surroundings& surroundings) {
  return underStoreLock([&] { return commands::disconnect(surroundings.deadline); });
}

Result<StatusPayload> runStatus(const Surroundings& surroundings) {
  return commands::status(surroundings.deadline);
}

Result<StatusPayload> runUpdateAppRules(const Surroundings& surroundings) {
  const auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock(
      [&] { return commands::updateAppRules(*request, surroundings.changeContext()); });
}

// The command table, compared in this order. A command that takes a request reads and decodes
// it before any platform work starts.
struct Command {
  std::string_view word;
  Result<StatusPayload> (*run)(const Surroundings& surroundings);
};

constexpr std::array<Command, 4> kCommands = {{
    {"connect", runConnect},
    {"disconnect", runDisconnect},
    {"status", runStatus},
    {"update-app-rules", runUpdateAppRules},
}};

}  // namespace

Result<StatusPayload> runCommand(std::span<const std::string> arguments,
                                 const Surroundings& surroundings) {
  if (arguments.size() < 2) {
    return std::unexpected(Error{ManagerError::invalidCommand(kUsage)});
  }
  const std::string& word = arguments[1];
  for (const Command& command : kCommands) {
    if (command.word == word) {
      return command.run(surroundings);
    }
  }
  return std::unexpected(Error{ManagerError::invalidCommand("Unknown command: " + word)});
}

}  // namespace kelo
