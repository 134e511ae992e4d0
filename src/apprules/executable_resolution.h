// Executable resolution: an application's identity is the absolute, link-resolved path of its
// executable. Called by discovery for every bundle it meets and by rule building for every
// excluded path, on the caller's thread.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "payloads/errors.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

// The canonical executable path of an application bundle (the first regular file its
// Contents/MacOS listing yields) or of an executable path. Fails with `invalidInput` for an
// empty or blank path and for a bundle without an executable.
Result<std::string> canonicalExecutablePath(std::string_view from);

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
