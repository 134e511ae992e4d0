// The errors that end a command: the tool's own `ManagerError` cases, and errors that belong to
// the platform (JSON decoding, child-process launch, the VPN preferences), which are passed on
// unchanged. Any thread; plain values.
#pragma once

#include <expected>
#include <string>
#include <variant>

#include "platform/platform_error.h"

namespace kelo {

// The tool's own failures. Every case but `managerMissing` carries its message.
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

  static ManagerError invalidCommand(std::string message) {
    return {Case::invalidCommand, std::move(message)};
  }
  static ManagerError invalidInput(std::string message) {
    return {Case::invalidInput, std::move(message)};
  }
  static ManagerError networkExtension(std::string message) {
    return {Case::networkExtension, std::move(message)};
  }
  static ManagerError codesign(std::string message) { return {Case::codesign, std::move(message)}; }
  static ManagerError timedOut(std::string message) { return {Case::timedOut, std::move(message)}; }
  static ManagerError managerMissing() { return {Case::managerMissing, {}}; }

  // The text of the failure document; never absent, never replaced by a generic text.
  std::string errorDescription() const;

  bool operator==(const ManagerError&) const = default;
};

using Error = std::variant<ManagerError, PlatformError>;

// The message of the failure document for any error.
std::string failureMessage(const Error& error);

template <class T>
using Result = std::expected<T, Error>;

}  // namespace kelo
