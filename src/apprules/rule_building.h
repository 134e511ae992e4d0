// Application rule building: rules name every installed, signed application that the request
// does not exclude. Blocks the thread of the platform completion it runs in while discovery
// runs and the code-signing children run, several at once on helper threads.
#pragma once

#include <string>
#include <vector>

#include "payloads/errors.h"
#include "platform/network_extension.h"

namespace kelo::apprules {

// Where per-app rules come from. The tool always uses `system()`; tests point it elsewhere.
struct AppRuleSources {
  std::vector<std::string> roots;  // application roots, walked in this order
  std::string codesignPath;

  // The application roots of discovery and "/usr/bin/codesign".
  static AppRuleSources system();
};

// One rule per included application whose signature was read, in discovery order; never
// empty. Fails with the first exclusion that cannot be resolved (before discovery starts),
// with `invalidInput` when nothing is left after exclusion and with `codesign` when no
// signature could be read.
Result<std::vector<NEAppRule>> buildIncludedAppRules(
    const std::vector<std::string>& excluding,
    const AppRuleSources& sources = AppRuleSources::system());

// How many code-signing children run at once (inspection_bound.cc); at least 1. A build that
// links another definition changes it, as the benchmarks' one-at-a-time build of the tool does.
unsigned maximumConcurrentInspections();

}  // namespace kelo::apprules
