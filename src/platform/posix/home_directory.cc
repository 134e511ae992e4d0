#include "platform/home_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kelo {

std::optional<std::string> homeDirectory() {
  // A relative HOME would make the files depend on the working folder: it counts as unset.
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::string(home);
  }
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && *found->pw_dir != '\0') {
    return std::string(found->pw_dir);
  }
  return std::nullopt;
}

}  // namespace kelo
