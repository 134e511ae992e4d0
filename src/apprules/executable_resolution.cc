#include "apprules/executable_resolution.h"

#include <sys/stat.h>

#include "apprules/file_paths.h"

namespace kelo::apprules {

Result<std::string> canonicalExecutablePath(std::string_view from) {
  const std::string_view trimmed = text::trimmedWhitespace(from);
  if (trimmed.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Application path cannot be empty.")
                                     .coded(FailureCode::applicationNotFound)});
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
      Error{ManagerError::invalidInput("No executable found in " + location + ".")
                .coded(FailureCode::applicationNotFound)});
}

}  // namespace kelo::apprules
