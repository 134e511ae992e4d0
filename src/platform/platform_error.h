// An error raised by something the tool stands on (the VPN preferences, the tunnel, a child
// process, the JSON reader). What reaches the caller is its localized description, which the
// tool wraps in its own messages. Plain value; any thread.
#pragma once

#include <string>

namespace kelo {

struct PlatformError {
  std::string localizedDescription;

  bool operator==(const PlatformError&) const = default;
};

}  // namespace kelo
