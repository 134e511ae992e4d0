#include "payloads/errors.h"

namespace kelo {

std::string ManagerError::errorDescription() const {
  const std::string text =
      kind == Case::managerMissing ? "Kelo VPN packet tunnel manager is not configured." : message;
  return repair ? text + " " + repair->leftUndone() : text;
}

std::string failureMessage(const Error& error) {
  if (const auto* own = std::get_if<ManagerError>(&error)) {
    return own->errorDescription();
  }
  return std::get<PlatformError>(error).localizedDescription;
}

FailureCode failureCode(const Error& error) {
  if (const auto* own = std::get_if<ManagerError>(&error)) {
    return own->code;
  }
  return FailureCode::resources;
}

Step failureStep(const Error& error) {
  if (const auto* own = std::get_if<ManagerError>(&error)) {
    return own->step;
  }
  return Step::inspect;
}

const std::optional<PlatformCause>& platformCause(const Error& error) {
  if (const auto* own = std::get_if<ManagerError>(&error)) {
    return own->cause;
  }
  return std::get<PlatformError>(error).cause;
}

Error inStep(Error error, Step step) {
  if (auto* own = std::get_if<ManagerError>(&error); own != nullptr && own->step == Step::none) {
    own->step = step;
  }
  return error;
}

}  // namespace kelo
