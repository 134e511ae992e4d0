#include "command_table.h"

#include <unistd.h>

#include <array>
#include <string_view>

#include "payloads/progress.h"
#include "platform/descriptors.h"
#include "platform/store_lock.h"

namespace kelo {

namespace {

constexpr char kUsage[] =
    "Usage: kelo-ne-manager "
    "<connect|disconnect|status|update-app-rules|remove|wait|export|version> [--protocol=2]";
constexpr char kFirstUsage[] =
    "Usage: kelo-ne-manager <connect|disconnect|status|update-app-rules>";
constexpr std::string_view kProtocolOption = "--protocol=";

// Reads standard input to its end, or to one byte past the largest request, which decoding
// then refuses.
std::string readRequestBytes() {
  progress::enter(Step::request);
  std::string bytes;
  readToEnd(STDIN_FILENO, bytes, kMaximumRequestBytes);
  return bytes;
}

template <class Request>
Result<Request> readJSONFromStdin() {
  const std::string bytes = readRequestBytes();
  if (bytes.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Expected JSON payload on stdin.")});
  }
  return Request::decode(bytes);
}

// A run that changes profiles holds the store's lock from the moment its request is decoded
// until its last step is done, so that runs against one store follow each other.
template <class Operation>
Result<Reply> underStoreLock(StoreUse use, Operation operation) {
  progress::enter(Step::lock);
  const auto lock = lockProfileStore(use);
  if (!lock) {
    ManagerError failure =
        ManagerError::networkExtension("Failed to lock packet tunnel preferences: " +
                                       lock.error().localizedDescription)
            .at(Step::lock);
    failure.cause = lock.error().cause;
    return std::unexpected(Error{std::move(failure)});
  }
  return operation();
}

// A command's status document, or its failure, as the one reply of the run.
Result<Reply> replied(Result<StatusPayload> result) {
  if (!result) {
    return std::unexpected(std::move(result.error()));
  }
  return Reply(std::move(*result));
}

struct Command {
  std::string_view word;
  Result<Reply> (*run)(const Surroundings& surroundings, Protocol protocol);
};

commands::Context contextFor(const Surroundings& surroundings, Protocol protocol) {
  commands::Context context = surroundings.changeContext();
  context.protocol = protocol;
  return context;
}

Result<Reply> runConnect(const Surroundings& surroundings, Protocol protocol) {
  const auto request = readJSONFromStdin<ConnectPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock(StoreUse::mayCreate, [&] {
    return replied(commands::connect(*request, contextFor(surroundings, protocol)));
  });
}

Result<Reply> runDisconnect(const Surroundings& surroundings, Protocol protocol) {
  return underStoreLock(StoreUse::changesWhatIsThere, [&] {
    return replied(commands::disconnect(surroundings.deadline, protocol));
  });
}

Result<Reply> runStatus(const Surroundings& surroundings, Protocol protocol) {
  return replied(commands::status(surroundings.deadline, protocol));
}

Result<Reply> runUpdateAppRules(const Surroundings& surroundings, Protocol protocol) {
  const auto request = readJSONFromStdin<AppRulePayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  return underStoreLock(StoreUse::changesWhatIsThere, [&] {
    return replied(commands::updateAppRules(*request, contextFor(surroundings, protocol)));
  });
}

Result<Reply> runRemove(const Surroundings& surroundings, Protocol) {
  return underStoreLock(StoreUse::changesWhatIsThere,
                        [&] { return replied(commands::remove(surroundings.deadline)); });
}

// A wait's request is optional: empty standard input, or a terminal (someone typing the
// command), asks for the defaults.
Result<Reply> runWait(const Surroundings& surroundings, Protocol protocol) {
  const auto request =
      isatty(STDIN_FILENO) == 1 ? WaitPayload::decode("") : WaitPayload::decode(readRequestBytes());
  if (!request) {
    return std::unexpected(request.error());
  }
  return replied(commands::wait(*request, surroundings.deadline, protocol));
}

// An export reads and writes no profile: it takes no lock, and needs the context only for
// where code signatures come from.
Result<Reply> runExport(const Surroundings& surroundings, Protocol protocol) {
  const auto request = readJSONFromStdin<ExportPayload>();
  if (!request) {
    return std::unexpected(request.error());
  }
  auto exported = commands::exportProfile(*request, contextFor(surroundings, protocol));
  if (!exported) {
    return std::unexpected(std::move(exported.error()));
  }
  return Reply(std::move(*exported));
}

Result<Reply> runVersion(const Surroundings&, Protocol);

// The command table, compared in this order. A command that takes a request reads and decodes
// it before any platform work starts.
constexpr std::array<Command, 9> kCommands = {{
    {"connect", runConnect},
    {"disconnect", runDisconnect},
    {"status", runStatus},
    {"update-app-rules", runUpdateAppRules},
    {"remove", runRemove},
    {"wait", runWait},
    {"export", runExport},
    {"version", runVersion},
    {"--version", runVersion},
}};

// What this build can do beyond the first four commands and their requests, one word per
// capability, in the order they came; the version's minor number counts them.
constexpr std::array<std::string_view, 9> kFeatures = {
    "onDemand",    "networkPolicy", "remove", "wait",    "ruleCoverage",
    "missingApps", "staleProfiles", "export", "takeOver"};

Result<Reply> runVersion(const Surroundings&, Protocol) {
  VersionPayload version{.version = KELO_VERSION,
                         .protocols = {1, 2},
                         .commands = {},
                         .features = {kFeatures.begin(), kFeatures.end()}};
  for (const Command& command : kCommands) {
    if (!command.word.starts_with("--")) {
      version.commands.emplace_back(command.word);
    }
  }
  return Reply(std::move(version));
}

}  // namespace

Protocol requestedProtocol(std::span<const std::string> arguments) {
  for (std::size_t index = 2; index < arguments.size(); ++index) {
    if (arguments[index] == "--protocol=2") {
      return Protocol::two;
    }
  }
  return Protocol::one;
}

Result<Reply> runCommand(std::span<const std::string> arguments, const Surroundings& surroundings) {
  if (arguments.size() < 2) {
    return std::unexpected(Error{ManagerError::invalidCommand(kFirstUsage)});
  }
  const Protocol protocol = requestedProtocol(arguments);
  const std::string& word = arguments[1];
  const Command* chosen = nullptr;
  for (const Command& command : kCommands) {
    if (command.word == word) {
      chosen = &command;
      break;
    }
  }
  if (chosen == nullptr) {
    return std::unexpected(Error{ManagerError::invalidCommand("Unknown command: " + word)});
  }
  if (protocol == Protocol::two) {
    for (const std::string& option : arguments.subspan(2)) {
      if (option.starts_with("--") && !option.starts_with(kProtocolOption)) {
        return std::unexpected(
            Error{ManagerError::invalidCommand("Unknown option: " + option + ". " + kUsage)});
      }
    }
  }
  return chosen->run(surroundings, protocol);
}

}  // namespace kelo
