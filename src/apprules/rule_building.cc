#include "apprules/rule_building.h"

#include <algorithm>
#include <optional>
#include <thread>

#include "apprules/code_signature.h"
#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"
#include "payloads/progress.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

AppRuleSources AppRuleSources::system() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return {applicationRoots(), kCodesignPath, std::clamp(cores * 8, 8u, 64u)};
}

Result<BuiltRules> buildIncludedAppRules(const std::vector<std::string>& excluding,
                                         const AppRuleSources& sources) {
  progress::enter(Step::inspect);
  ExecutableSet excluded;
  for (const auto& path : excluding) {
    auto canonical = canonicalExecutablePath(path);
    if (!canonical) {
      return std::unexpected(canonical.error());
    }
    excluded.insert(*canonical);
  }

  std::vector<std::string> included;
  for (auto& path : discoverInstalledApplications(sources.roots)) {
    if (!excluded.contains(path)) {
      included.push_back(std::move(path));
    }
  }
  if (included.empty()) {
    return std::unexpected(
        Error{ManagerError::invalidInput("App-based split tunneling could not derive any included "
                                         "macOS apps from the current installation set.")
                  .coded(FailureCode::noApplications)
                  .at(Step::inspect)});
  }

  // A rule names its executable by a text, which bytes that are not UTF-8 cannot be: such an
  // application gets no rule, and is not inspected.
  std::vector<std::string> inspected;
  std::vector<std::size_t> inspectedAt;
  for (std::size_t index = 0; index < included.size(); ++index) {
    if (text::isValidUTF8(included[index])) {
      inspected.push_back(included[index]);
      inspectedAt.push_back(index);
    }
  }
  std::vector<Inspection> signatures(
      included.size(), std::unexpected(InspectionFailure{SkipReason::notUtf8, Error{}}));
  // A shortage that no running child could relieve fails the request: a smaller rule list
  // would pass for a complete one.
  auto fetched = fetchCodeSignatures(inspected, sources.codesignPath, sources.maximumInspections,
                                     [&](std::size_t run, Inspection signature) {
                                       signatures[inspectedAt[run]] = std::move(signature);
                                     });
  if (!fetched) {
    return std::unexpected(fetched.error());
  }
  // Unsigned or unreadable: that application gets no rule.
  BuiltRules built;
  for (std::size_t index = 0; index < included.size(); ++index) {
    auto& signature = signatures[index];
    if (!signature) {
      built.skipped.push_back({std::move(included[index]), signature.error().reason});
      continue;
    }
    NEAppRule rule(std::move(signature->signingIdentifier),
                   std::move(signature->designatedRequirement));
    rule.matchPath = std::move(included[index]);
    built.rules.push_back(std::move(rule));
  }
  if (built.rules.empty()) {
    return std::unexpected(Error{ManagerError::codesign(
        "App-based split tunneling could not build any usable macOS app rules from the installed "
        "application set.")});
  }
  return built;
}

}  // namespace kelo::apprules
