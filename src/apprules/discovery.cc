#include "apprules/discovery.h"

#include <sys/stat.h>

#include <algorithm>

#include "apprules/executable_resolution.h"
#include "apprules/file_paths.h"
#include "platform/home_directory.h"

namespace kelo::apprules {

namespace {

// How many folder levels below a root are searched; bundles are never descended into.
constexpr int kDiscoveryDepth = 3;

void collectApplications(const std::string& in, int depthRemaining, ExecutableSet& seen,
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

}  // namespace

std::vector<std::string> applicationRoots() {
  std::vector<std::string> roots = {"/Applications", "/System/Applications"};
  if (const auto home = homeDirectory()) {
    roots.push_back(appendingPathComponent(*home, "Applications"));
  }
  return roots;
}

std::vector<std::string> discoverInstalledApplications(const std::vector<std::string>& roots) {
  ExecutableSet seen;
  std::vector<std::string> executables;
  for (const auto& root : roots) {
    collectApplications(root, kDiscoveryDepth, seen, executables);
  }
  // Sorted as Unicode scalar values of the composed form: the byte order of the keys.
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(executables.size());
  for (auto& path : executables) {
    keyed.emplace_back(text::comparisonKey(path), std::move(path));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::string> sorted;
  sorted.reserve(keyed.size());
  for (auto& [key, path] : keyed) {
    sorted.push_back(std::move(path));
  }
  return sorted;
}

}  // namespace kelo::apprules
