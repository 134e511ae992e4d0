// Executable resolution: an application's identity is the absolute, link-resolved path of its
// executable. Called by discovery for every bundle it meets and by rule building for every
// excluded path, on the caller's thread.
#include <sys/stat.h>

#include "apprules/file_paths.h"
#include "kelo_desktop_ne_manager.h"

namespace kelo {

Result<std::string> KeloDesktopNEManager::canonicalExecutablePath(std::string_view from) {
  const std::string_view trimmed = trimmedWhitespace(from);
  if (trimmed.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Application path cannot be empty.")});
  }
  const std::string location = absolutePath(trimmed);
  if (!hasAppExtension(location)) {
    return resolvingSymlinks(location);
  }

  // A bundle: its executable is the first regular file (a link is not one) that the listing of
  // Contents/MacOS yields, whatever its name.
  const std::string folder =
      appendingPathComponent(appendingPathComponent(location, "Contents"), "MacOS");
  if (const auto names = visibleEntries(folder)) {
    for (const auto& name : *names) {
      const std::string entry = appendingPathComponent(folder, name);
      struct stat status {};
      if (lstat(entry.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        return resolvingSymlinks(entry);
      }
    }
  }
  return std::unexpected(
      Error{ManagerError::invalidInput("No executable found in " + location + ".")});
}

}  // namespace kelo
