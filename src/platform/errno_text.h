// The text of an errno value, as strerror gives it, from any thread: strerror itself may keep
// its text in a buffer that another thread's call overwrites.
#pragma once

#include <string>
#include <system_error>

namespace kelo {

inline std::string errnoText(int error) {
  return std::generic_category().message(error);
}

}  // namespace kelo
