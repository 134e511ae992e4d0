// An error raised by something the tool stands on (the VPN preferences, the tunnel, a child
// process). It carries the platform's error domain and its localized description, which is
// what reaches the caller; the tool wraps it in its own messages. Plain value; any thread.
#pragma once

#include <string>

namespace kelo {

struct PlatformError {
  std::string domain;
  std::string localizedDescription;

  bool operator==(const PlatformError&) const = default;
};

}  // namespace kelo
