#include "apprules/rule_building.h"

#include "apprules/code_signature.h"
#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"

namespace kelo::apprules {

AppRuleSources AppRuleSources::system() {
  return {applicationRoots(), kCodesignPath};
}

Result<std::vector<NEAppRule>> buildIncludedAppRules(const std::vector<std::string>& excluding,
                                                     const AppRuleSources& sources) {
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
    return std::unexpected(Error{ManagerError::invalidInput(
        "App-based split tunneling could not derive any included macOS apps from the current "
        "installation set.")});
  }

  std::vector<NEAppRule> rules;
  for (const auto& path : included) {
    auto signature = fetchCodeSignature(path, sources.codesignPath);
    if (!signature) {
      continue;  // unsigned or unreadable: that application gets no rule
    }
    NEAppRule rule(std::move(signature->signingIdentifier),
                   std::move(signature->designatedRequirement));
    rule.matchPath = path;
    rules.push_back(std::move(rule));
  }
  if (rules.empty()) {
    return std::unexpected(Error{ManagerError::codesign(
        "App-based split tunneling could not build any usable macOS app rules from the installed "
        "application set.")});
  }
  return rules;
}

}  // namespace kelo::apprules
