#include "payloads/errors.h"

namespace kelo {

std::string ManagerError::errorDescription() const {
  if (kind == Case::managerMissing) {
    return "Kelo VPN packet tunnel manager is not configured.";
  }
  return message;
}

std::string failureMessage(const Error& error) {
  if (const auto* own = std::get_if<ManagerError>(&error)) {
    return own->errorDescription();
  }
  return std::get<PlatformError>(error).localizedDescription;
}

}  // namespace kelo
