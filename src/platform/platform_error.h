// An error raised by something the tool stands on (the VPN preferences, the tunnel, a child
// process, the JSON reader). What reaches the caller is its localized description, which the
// tool wraps in its own messages, and where the platform gave them its domain and code. Plain
// value; any thread.
#pragma once

#include <optional>
#include <string>

namespace kelo {

// Where a platform error came from, as the platform names it (an NSError's domain and code on
// macOS; a simulated fault's, where the fault gives them).
struct PlatformCause {
  std::string domain;
  long long code = 0;

  bool operator==(const PlatformCause&) const = default;
};

struct PlatformError {
  std::string localizedDescription;
  std::optional<PlatformCause> cause = std::nullopt;

  bool operator==(const PlatformError&) const = default;
};

}  // namespace kelo
