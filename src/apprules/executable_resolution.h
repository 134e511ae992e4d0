// Executable resolution: an application's identity is the absolute, link-resolved path of its
// executable. Called by discovery for every bundle it meets and by rule building for every
// excluded path, on the caller's thread.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "payloads/errors.h"
#include "payloads/requests.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

// Contents/MacOS/<CFBundleExecutable> of a bundle, when its Contents/Info.plist names a regular
// file there by a name without "/" (as written, links not resolved).
std::optional<std::string> namedExecutable(const std::string& bundle);

// The canonical executable of a bundle: under whole-application coverage the one its Info.plist
// names, and otherwise, or failing that, the first regular file its Contents/MacOS listing
// yields. Nothing when it has neither.
std::optional<std::string> bundleExecutable(const std::string& bundle,
                                            RuleCoverage coverage = RuleCoverage::firstExecutable);

// The canonical executable path of an application bundle (see bundleExecutable) or of an
// executable path. Fails with `invalidInput` for an empty or blank path and for a bundle without
// an executable.
Result<std::string> canonicalExecutablePath(std::string_view from,
                                            RuleCoverage coverage = RuleCoverage::firstExecutable);

// Canonical executable paths, compared in NFC: the set of discovery's already-seen
// applications and of rule building's exclusions.
class ExecutableSet {
 public:
  // True when the path was not yet there.
  bool insert(std::string_view path) { return keys_.insert(text::comparisonKey(path)).second; }
  bool contains(std::string_view path) const { return keys_.contains(text::comparisonKey(path)); }

 private:
  std::set<std::string> keys_;
};

}  // namespace kelo::apprules
