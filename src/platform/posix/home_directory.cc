#include "platform/home_directory.h"

#include <cstdlib>

#include "platform/posix/system.h"

namespace kelo {

std::optional<std::string> homeDirectory() {
  // A relative HOME would make the files depend on the working folder: it counts as unset.
  // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing in the tool changes its environment
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    return std::string(home);
  }
  return posix::userDatabaseHome();
}

}  // namespace kelo
