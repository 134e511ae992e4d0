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

// Hands every bundle under `in` to `found`, in the order the file system lists them.
template <class Found>
void collectBundles(const std::string& in, int depthRemaining, const Found& found) {
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
      found(entry);  // a candidate by its name alone, and never descended into
      continue;
    }
    struct stat status {};
    if (stat(entry.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
      collectBundles(entry, depthRemaining - 1, found);
    }
  }
}

// `items` sorted by `key` as Unicode scalar values of its composed form: the byte order of the
// comparison keys.
template <class Item, class Key>
std::vector<Item> sortedByPath(std::vector<Item> items, const Key& key) {
  std::vector<std::pair<std::string, Item>> keyed;
  keyed.reserve(items.size());
  for (auto& item : items) {
    std::string sortKey = text::comparisonKey(key(item));
    keyed.emplace_back(std::move(sortKey), std::move(item));
  }
  // Keys are distinct: each was seen once.
  std::ranges::sort(keyed, {}, [](const auto& entry) -> const std::string& { return entry.first; });
  std::vector<Item> sorted;
  sorted.reserve(keyed.size());
  for (auto& [sortKey, item] : keyed) {
    sorted.push_back(std::move(item));
  }
  return sorted;
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
    collectBundles(root, kDiscoveryDepth, [&](const std::string& bundle) {
      if (auto executable = canonicalExecutablePath(bundle);
          executable && seen.insert(*executable)) {
        executables.push_back(std::move(*executable));
      }
    });
  }
  return sortedByPath(std::move(executables), [](const std::string& path) { return path; });
}

std::vector<DiscoveredBundle> discoverApplicationBundles(const std::vector<std::string>& roots) {
  ExecutableSet seen;
  std::vector<DiscoveredBundle> bundles;
  for (const auto& root : roots) {
    collectBundles(root, kDiscoveryDepth, [&](const std::string& bundle) {
      auto executable = bundleExecutable(bundle, RuleCoverage::wholeApplication);
      if (seen.insert(executable ? *executable : resolvingSymlinks(bundle))) {
        bundles.push_back({bundle, std::move(executable)});
      }
    });
  }
  return sortedByPath(std::move(bundles), [](const DiscoveredBundle& found) -> const std::string& {
    return found.executable ? *found.executable : found.bundle;
  });
}

}  // namespace kelo::apprules
