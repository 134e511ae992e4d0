// Installed application discovery: a depth-limited walk of the application roots that turns
// every bundle it meets into its canonical executable path. Pure file-system reading on the
// caller's thread; whatever cannot be read or resolved is left out without a message.
#include <sys/stat.h>

#include <algorithm>

#include "apprules/file_paths.h"
#include "kelo_desktop_ne_manager.h"
#include "platform/home_directory.h"

namespace kelo {

AppRuleSources AppRuleSources::system() {
  AppRuleSources sources{{"/Applications", "/System/Applications"}, kCodesignPath};
  if (const auto home = homeDirectory()) {
    sources.roots.push_back(appendingPathComponent(*home, "Applications"));
  }
  return sources;
}

std::vector<std::string> KeloDesktopNEManager::discoverInstalledApplications(
    const std::vector<std::string>& roots) {
  ExecutableSet seen;
  std::vector<std::string> executables;
  for (const auto& root : roots) {
    collectApplications(root, kDiscoveryDepth, seen, executables);
  }
  // Sorted as Unicode scalar values of the composed form: the byte order of the keys.
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(executables.size());
  for (auto& path : executables) {
    keyed.emplace_back(comparisonKey(path), std::move(path));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> sorted;
  sorted.reserve(keyed.size());
  for (auto& [key, path] : keyed) {
    sorted.push_back(std::move(path));
  }
  return sorted;
}

void KeloDesktopNEManager::collectApplications(const std::string& in, int depthRemaining,
                                               ExecutableSet& seen,
                                               std::vector<std::string>& executables) {
  if (depthRemaining <= 0) {
    return;
  }
  const auto names = visibleEntries(in);
  if (!names) {
    return;
  }
  for (const auto& name : *names) {
    const std::string entry = appendingPathComponent(in, name);
    if (hasAppExtension(name)) {
      // A candidate by its name alone, and never descended into.
      if (auto executable = canonicalExecutablePath(entry);
          executable && seen.insert(*executable)) {
        executables.push_back(std::move(*executable));
      }
      continue;
    }
    struct stat status {};
    if (stat(entry.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      collectApplications(entry, depthRemaining - 1, seen, executables);
    }
  }
}

}  // namespace kelo
