// The one success result of every command and its compact JSON form, the status document.
// Built by tunnel control and update-app-rules; written by the driver on the main thread.
#pragma once

#include <cstdint>
#include <string>

namespace kelo {

struct StatusPayload {
  bool configured = false;
  bool connected = false;
  bool connecting = false;
  bool disconnecting = false;
  std::string status;
  bool perAppMode = false;
  std::int64_t appRuleCount = 0;

  // What is reported when the tool has no profile.
  static StatusPayload notConfigured();

  // Compact JSON, every member present, slashes written plainly, no newline.
  std::string encoded() const;

  bool operator==(const StatusPayload&) const = default;
};

// The failure document for a message: {"error":...}, compact, with every slash escaped.
std::string failureDocument(const std::string& message);

}  // namespace kelo
