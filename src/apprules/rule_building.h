// Application rule building: rules name every installed, signed application that the request
// does not exclude. Blocks the calling thread (the main thread) while discovery runs and the
// code-signing children run, several at once.
#pragma once

#include <string>
#include <vector>

#include "payloads/configuration_profile.h"
#include "payloads/errors.h"
#include "payloads/requests.h"
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

// What a request chose about its rules.
struct RuleChoices {
  RuleCoverage coverage = RuleCoverage::firstExecutable;
  MissingApps missingApps = MissingApps::fail;
};

// The rules of the installed applications that `excluding` leaves, in discovery order; never
// empty.
// - First executables: one rule per included application whose signature was read, with its
//   executable's path.
// - Whole applications: one rule per distinct signature of each included application's main
//   executable and nested code (see nestedCode), without a path, every executable inspected
//   once; an excluded application's nested code is not looked at, and Apple's own code
//   ("com.apple." identifiers) gets no rule. Bundles without an executable are reported.
// An exclusion that cannot be resolved fails the request before discovery starts, with the
// first such entry's message and every such entry in `paths`; or, when missing applications
// are skipped, is reported first as not installed. Fails with `invalidInput` when nothing is
// left after exclusion and with `codesign` when no signature gave a rule.
Result<BuiltRules> buildIncludedAppRules(const std::vector<std::string>& excluding,
                                         const AppRuleSources& sources, RuleChoices choices = {});

// The identities that a per-app configuration profile maps to the VPN, with the entry each came
// from, and the items that gave none, with why.
struct BuiltMappings {
  std::vector<mobileconfig::AppMapping> mappings;
  std::vector<SkippedApplication> skipped;
};

// One mapping per distinct signature of the listed applications' executables and nested code,
// as whole-application rules have them, in the request's order. An entry that names nothing
// installed fails as an exclusion does, or, when missing applications are skipped, is reported
// first as not installed. Fails with `codesign` when no signature gave a mapping.
Result<BuiltMappings> buildAppMappings(const std::vector<std::string>& applications,
                                       const AppRuleSources& sources, MissingApps missingApps);

}  // namespace kelo::apprules
