#include "apprules/executable_resolution.h"

#include <sys/stat.h>

#include "apprules/file_paths.h"
#include "apprules/property_list.h"

namespace kelo::apprules {

namespace {

bool isRegularFile(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

std::string executableFolder(const std::string& bundle) {
  return appendingPathComponent(appendingPathComponent(bundle, "Contents"), "MacOS");
}

// The first regular file (a link is not one) that the listing of Contents/MacOS yields,
// whatever its name.
std::optional<std::string> firstRegularFile(const std::string& bundle) {
  const std::string folder = executableFolder(bundle);
  if (const auto names = visibleEntries(folder)) {
    for (const auto& name : *names) {
      if (std::string entry = appendingPathComponent(folder, name); isRegularFile(entry)) {
        return entry;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> namedExecutable(const std::string& bundle) {
  const auto name = topLevelStringOfFile(
      appendingPathComponent(appendingPathComponent(bundle, "Contents"), "Info.plist"),
      "CFBundleExecutable");
  if (!name || name->empty() || *name == "." || *name == ".." ||
      name->find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
    return std::nullopt;
  }
  std::string entry = appendingPathComponent(executableFolder(bundle), *name);
  return isRegularFile(entry) ? std::optional(std::move(entry)) : std::nullopt;
}

std::optional<std::string> bundleExecutable(const std::string& bundle, RuleCoverage coverage) {
  std::optional<std::string> found;
  if (coverage == RuleCoverage::wholeApplication) {
    found = namedExecutable(bundle);
  }
  if (!found) {
    found = firstRegularFile(bundle);
  }
  return found ? std::optional(resolvingSymlinks(*found)) : std::nullopt;
}

Result<std::string> canonicalExecutablePath(std::string_view from, RuleCoverage coverage) {
  const std::string_view trimmed = text::trimmedWhitespace(from);
  if (trimmed.empty()) {
    return std::unexpected(Error{ManagerError::invalidInput("Application path cannot be empty.")
                                     .coded(FailureCode::applicationNotFound)});
  }
  const std::string location = absolutePath(trimmed);
  if (!hasAppExtension(location)) {
    return resolvingSymlinks(location);
  }
  if (auto executable = bundleExecutable(location, coverage)) {
    return std::move(*executable);
  }
  return std::unexpected(
      Error{ManagerError::invalidInput("No executable found in " + location + ".")
                .coded(FailureCode::applicationNotFound)});
}

}  // namespace kelo::apprules
