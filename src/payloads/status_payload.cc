#include "payloads/status_payload.h"

#include <nlohmann/json.hpp>

namespace kelo {

namespace {

// Messages may carry file names or command words that are not valid UTF-8; they are written
// with replacement characters rather than failing the one document the caller reads.
std::string compact(const nlohmann::ordered_json& value) {
  return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace

StatusPayload StatusPayload::notConfigured() {
  return {.configured = false,
          .connected = false,
          .connecting = false,
          .disconnecting = false,
          .status = "invalid",
          .perAppMode = false,
          .appRuleCount = 0};
}

std::string StatusPayload::encoded() const {
  nlohmann::ordered_json document = {
      {"configured", configured},       {"connected", connected}, {"connecting", connecting},
      {"disconnecting", disconnecting}, {"status", status},       {"perAppMode", perAppMode},
      {"appRuleCount", appRuleCount},
  };
  return compact(document);
}

std::string failureDocument(const std::string& message) {
  const std::string plain = compact(nlohmann::ordered_json{{"error", message}});
  // The failure document keeps the serialiser's classic escaping of "/" (as "\/"). A slash
  // can only stand inside the message string here, so every one of them is escaped.
  std::string document;
  document.reserve(plain.size() + 8);
  for (char c : plain) {
    if (c == '/') {
      document += '\\';
    }
    document += c;
  }
  return document;
}

}  // namespace kelo
