// Installed application discovery: a depth-limited walk of the application roots that turns
// every bundle it meets into its canonical executable path. Pure file-system reading on the
// caller's thread (rule building's); whatever cannot be read or resolved is left out without a
// message.
#pragma once

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

}  // namespace kelo::apprules
