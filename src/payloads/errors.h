// The errors that end a command: the tool's own `ManagerError` cases, and errors that belong to
// the platform (JSON decoding, child-process launch, the VPN preferences), which are passed on
// unchanged. Any thread; plain values.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/platform_error.h"

namespace kelo {

// What kind of failure an error is, for a caller that sorts failures without reading their
// English text.
enum class FailureCode {
  usage,                // no or unknown command word
  invalidRequest,       // the request cannot be decoded or breaks a rule of its members
  applicationNotFound,  // an excluded application's path names no executable, or is empty
  noApplications,       // no application is left to include
  noUsableRules,        // no application could be inspected
  notConfigured,        // no tool profile
  notPerApp,            // update-app-rules on a profile without rules
  platform,             // the VPN platform refused an operation
  timedOut,
  stopped,           // a stop signal
  unsupported,       // a setting the running system lacks
  resources,         // a limit of the machine or the caller: processes, descriptors, memory
  internal,          // anything unforeseen
  otherVpnSelected,  // another VPN configuration is the Mac's selected one, and stays so
};

// The step of a request that a failure happened in, where one applies: for `platform` what was
// refused, for `timedOut` what was being waited for.
enum class Step {
  none,
  request,
  lock,
  load,
  removeStale,
  inspect,
  save,
  reload,
  start,
  stop,
  remove,
  wait
};

// The words protocol 2's failure document names a code and a step by.
constexpr std::string_view codeName(FailureCode code) {
  constexpr std::string_view kNames[] = {"usage",          "invalidRequest",  "applicationNotFound",
                                         "noApplications", "noUsableRules",   "notConfigured",
                                         "notPerApp",      "platform",        "timedOut",
                                         "stopped",        "unsupported",     "resources",
                                         "internal",       "otherVpnSelected"};
  return kNames[static_cast<std::size_t>(code)];
}
constexpr std::string_view stepName(Step step) {
  constexpr std::string_view kNames[] = {"",        "request", "lock",   "load",  "removeStale",
                                         "inspect", "save",    "reload", "start", "stop",
                                         "remove",  "wait"};
  return kNames[static_cast<std::size_t>(step)];
}
inline constexpr std::size_t kStepCount = static_cast<std::size_t>(Step::wait) + 1;

// What a failure says after its own message when on-demand, switched off for a restart, could
// not be switched back on, followed by why.
inline constexpr std::string_view kOnDemandLeftOffMessage =
    "The on-demand connection could not be switched back on: ";

// The one repair there is, switching on-demand back on, when it failed after the failure it was
// meant to mend: what it reports, in which step, and the platform's own error domain and code,
// where the platform gave them.
struct RepairFailure {
  std::string message;
  Step step = Step::save;
  std::optional<PlatformCause> cause = std::nullopt;

  // What the failure left that the repair could not undo, told after the failure's message.
  std::string leftUndone() const { return std::string(kOnDemandLeftOffMessage) + message; }

  bool operator==(const RepairFailure&) const = default;
};

// The tool's own failures. Every case but `managerMissing` carries its message; each carries
// its code and step, which a case's factory sets to what that case most often is.
struct ManagerError {
  enum class Case {
    invalidCommand,
    invalidInput,
    networkExtension,
    codesign,
    timedOut,
    managerMissing
  };

  Case kind;
  std::string message;
  FailureCode code = FailureCode::internal;
  Step step = Step::none;
  // The platform's own error domain and code, where the platform gave them.
  std::optional<PlatformCause> cause = std::nullopt;
  // The failure of the repair that followed it, if one did.
  std::optional<RepairFailure> repair = std::nullopt;
  // The request's entries that the failure is about, as written: the excluded applications
  // that name nothing installed.
  std::vector<std::string> paths = {};

  static ManagerError invalidCommand(std::string message) {
    return {Case::invalidCommand, std::move(message), FailureCode::usage};
  }
  static ManagerError invalidInput(std::string message) {
    return {Case::invalidInput, std::move(message), FailureCode::invalidRequest, Step::request};
  }
  // A platform's refusal by default; `coded` makes it another failure.
  static ManagerError networkExtension(std::string message) {
    return {Case::networkExtension, std::move(message), FailureCode::platform};
  }
  static ManagerError codesign(std::string message) {
    return {Case::codesign, std::move(message), FailureCode::noUsableRules, Step::inspect};
  }
  static ManagerError timedOut(std::string message) {
    return {Case::timedOut, std::move(message), FailureCode::timedOut};
  }
  static ManagerError managerMissing() {
    return {Case::managerMissing, {}, FailureCode::notConfigured};
  }

  // The same failure with another code, or in another step.
  ManagerError coded(FailureCode other) && {
    code = other;
    return std::move(*this);
  }
  ManagerError at(Step where) && {
    step = where;
    return std::move(*this);
  }

  // The text of the failure document, what a failed repair left undone included; never absent,
  // never replaced by a generic text.
  std::string errorDescription() const;

  bool operator==(const ManagerError&) const = default;
};

using Error = std::variant<ManagerError, PlatformError>;

// The message of the failure document for any error.
std::string failureMessage(const Error& error);

// The code and step of any error. A platform error that reaches the driver unwrapped is a
// child process that could not be started or run for want of processes, descriptors or memory.
FailureCode failureCode(const Error& error);
Step failureStep(const Error& error);
// The platform's own error domain and code behind any error, where the platform gave them.
const std::optional<PlatformCause>& platformCause(const Error& error);

// The failure in `step`, unless it names a step of its own already: what a wait that timed out,
// or a platform request that failed, was for.
Error inStep(Error error, Step step);

template <class T>
using Result = std::expected<T, Error>;

}  // namespace kelo
