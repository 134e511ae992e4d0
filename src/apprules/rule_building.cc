#include "apprules/rule_building.h"

#include <algorithm>
#include <optional>
#include <thread>

#include "apprules/code_signature.h"
#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

AppRuleSources AppRuleSources::system() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return {applicationRoots(), kCodesignPath, std::clamp(cores * 8, 8u, 64u)};
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
  std::vector<std::optional<CodeSignature>> signatures(included.size());
  // A shortage that no running child could relieve fails the request: a smaller rule list
  // would pass for a complete one.
  auto fetched = fetchCodeSignatures(
      inspected, sources.codesignPath, sources.maximumInspections,
      [&](std::size_t run, Result<CodeSignature> signature) {
        if (signature) {  // unsigned or unreadable: that application gets no rule
          signatures[inspectedAt[run]] = std::move(*signature);
        }
      });
  if (!fetched) {
    return std::unexpected(fetched.error());
  }
  std::vector<NEAppRule> rules;
  for (std::size_t index = 0; index < included.size(); ++index) {
    auto& signature = signatures[index];
    if (!signature) {
      continue;
    }
    NEAppRule rule(std::move(signature->signingIdentifier),
                   std::move(signature->designatedRequirement));
    rule.matchPath = std::move(included[index]);
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
