// The current user's home directory: $HOME when it is an absolute path, else the password
// database's entry. Shared by application discovery and the simulated platform; any thread.
#pragma once

#include <optional>
#include <string>

namespace kelo {

std::optional<std::string> homeDirectory();

}  // namespace kelo
