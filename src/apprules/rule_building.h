// Application rule building: rules name every installed, signed application that the request
// does not exclude. Blocks the calling thread (the main thread) while discovery runs and the
// code-signing children run, several at once.
#pragma once

#include <string>
#include <vector>

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/network_extension.h"

namespace kelo::apprules {

// Where per-app rules come from. The tool always uses `system()`; tests point it elsewhere.
struct AppRuleSources {
  std::vector<std::string> roots;  // application roots, walked in this order
  std::string codesignPath;
  unsigned maximumInspections = 1;  // code-signing children at once

  // The application roots of discovery, "/usr/bin/codesign", and eight children per core,
  // from 8 to 64: a child spends nearly all of its life waiting, on its own start and exit and
  // on the file system, rather than on a core (a real code-signing run takes tens of
  // milliseconds of wall time for a few of CPU). The ceiling bounds what one request holds at
  // once: three descriptors a child, and the machine's process table.
  static AppRuleSources system();
};

// The rules, and the included applications that got none, with why, both in discovery order.
struct BuiltRules {
  std::vector<NEAppRule> rules;
  std::vector<SkippedApplication> skipped;
};

// One rule per included application whose signature was read, in discovery order; never
// empty. Fails with the first exclusion that cannot be resolved (before discovery starts),
// with `invalidInput` when nothing is left after exclusion and with `codesign` when no
// signature could be read.
Result<BuiltRules> buildIncludedAppRules(const std::vector<std::string>& excluding,
                                         const AppRuleSources& sources);

}  // namespace kelo::apprules
