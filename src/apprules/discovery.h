// Installed application discovery: a depth-limited walk of the application roots that turns
// every bundle it meets into its canonical executable path. Pure file-system reading on the
// caller's thread (rule building's); whatever cannot be read or resolved is left out without a
// message.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelo::apprules {

// "/Applications", "/System/Applications" and the home directory's "Applications", in the
// order they are walked.
std::vector<std::string> applicationRoots();

// The canonical executable paths of the bundles under `roots`, three levels deep, each once,
// sorted as Unicode scalar values of their composed form.
std::vector<std::string> discoverInstalledApplications(
    const std::vector<std::string>& roots = applicationRoots());

// A bundle that whole-application discovery met, as its path was found, and its canonical main
// executable (see bundleExecutable), when it has one.
struct DiscoveredBundle {
  std::string bundle;
  std::optional<std::string> executable;

  bool operator==(const DiscoveredBundle&) const = default;
};

// The bundles under `roots`, found as discoverInstalledApplications finds them, each main
// executable once, with the executable each one's Info.plist names; sorted by that executable
// (by the bundle's own path when it has none) as discoverInstalledApplications sorts.
std::vector<DiscoveredBundle> discoverApplicationBundles(
    const std::vector<std::string>& roots = applicationRoots());

}  // namespace kelo::apprules
