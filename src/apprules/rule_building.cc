#include "apprules/rule_building.h"

#include <algorithm>
#include <optional>
#include <set>
#include <thread>

#include "apprules/code_signature.h"
#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"
#include "apprules/file_paths.h"
#include "apprules/nested_code.h"
#include "payloads/progress.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

namespace {

// Apple's own code: the system refuses rules for it from another maker's configuration.
constexpr std::string_view kSystemIdentifierPrefix = "com.apple.";

Error noIncludedApplications() {
  return ManagerError::invalidInput(
             "App-based split tunneling could not derive any included macOS apps from the "
             "current installation set.")
      .coded(FailureCode::noApplications)
      .at(Step::inspect);
}

Error noUsableRules() {
  return ManagerError::codesign(
      "App-based split tunneling could not build any usable macOS app rules from the installed "
      "application set.");
}

// The executables of a request's entries, in their order; an entry that names nothing
// installed fails the request, naming every such entry, or is reported as not installed.
struct Resolved {
  std::vector<std::optional<std::string>> executables;
  std::vector<SkippedApplication> notInstalled;
};

Result<Resolved> resolveEntries(const std::vector<std::string>& entries,
                                const RuleChoices& choices) {
  Resolved resolved;
  std::optional<ManagerError> first;
  std::vector<std::string> missing;
  for (const auto& path : entries) {
    auto canonical = canonicalExecutablePath(path, choices.coverage);
    if (canonical) {
      resolved.executables.emplace_back(std::move(*canonical));
      continue;
    }
    resolved.executables.emplace_back();
    missing.push_back(path);
    resolved.notInstalled.push_back({path, SkipReason::notInstalled});
    if (!first) {
      first = std::get<ManagerError>(std::move(canonical.error()));
    }
  }
  if (first && choices.missingApps == MissingApps::fail) {
    first->paths = std::move(missing);
    return std::unexpected(Error{std::move(*first)});
  }
  return resolved;
}

// Inspects `executables` (each UTF-8) in parallel; the results in their order.
Result<std::vector<Inspection>> inspect(const std::vector<std::string>& executables,
                                        const AppRuleSources& sources) {
  std::vector<std::string> inspected;
  std::vector<std::size_t> inspectedAt;
  for (std::size_t index = 0; index < executables.size(); ++index) {
    // A rule names its executable by a text, which bytes that are not UTF-8 cannot be: such an
    // application gets no rule, and is not inspected.
    if (text::isValidUTF8(executables[index])) {
      inspected.push_back(executables[index]);
      inspectedAt.push_back(index);
    }
  }
  std::vector<Inspection> signatures(
      executables.size(), std::unexpected(InspectionFailure{SkipReason::notUtf8, Error{}}));
  // A shortage that no running child could relieve fails the request: a smaller rule list
  // would pass for a complete one.
  auto fetched = fetchCodeSignatures(inspected, sources.codesignPath, sources.maximumInspections,
                                     [&](std::size_t run, Inspection signature) {
                                       signatures[inspectedAt[run]] = std::move(signature);
                                     });
  if (!fetched) {
    return std::unexpected(fetched.error());
  }
  return signatures;
}

// A signature that whole-application rules name, and the item where it was first found.
struct Identity {
  CodeSignature signature;
  std::size_t item;
};

// The distinct signatures of the items' executables, in order, each executable inspected once,
// at its first place. Bundles without an executable, executables without a signature and
// Apple's own code are reported in `skipped`.
Result<std::vector<Identity>> distinctIdentities(std::vector<NestedItem>& items,
                                                 const AppRuleSources& sources,
                                                 std::vector<SkippedApplication>& skipped) {
  ExecutableSet seen;
  std::vector<std::string> executables;
  std::vector<std::optional<std::size_t>> inspectionOf(items.size());
  for (std::size_t index = 0; index < items.size(); ++index) {
    const auto& executable = items[index].executable;
    if (executable && seen.insert(*executable)) {
      inspectionOf[index] = executables.size();
      executables.push_back(*executable);
    }
  }
  auto signatures = inspect(executables, sources);
  if (!signatures) {
    return std::unexpected(signatures.error());
  }
  std::vector<Identity> identities;
  std::set<std::pair<std::string, std::string>> named;
  for (std::size_t index = 0; index < items.size(); ++index) {
    auto& item = items[index];
    if (!item.executable) {
      skipped.push_back({std::move(item.path), SkipReason::noExecutable});
      continue;
    }
    const std::optional<std::size_t> inspection = inspectionOf[index];
    if (!inspection) {
      continue;  // inspected at an earlier place
    }
    auto& signature = (*signatures)[*inspection];
    if (!signature) {
      skipped.push_back({std::move(*item.executable), signature.error().reason});
      continue;
    }
    if (signature->signingIdentifier.starts_with(kSystemIdentifierPrefix)) {
      skipped.push_back({std::move(*item.executable), SkipReason::systemApp});
      continue;
    }
    if (named.emplace(signature->signingIdentifier, signature->designatedRequirement).second) {
      identities.push_back({std::move(*signature), index});
    }
  }
  return identities;
}

Result<BuiltRules> firstExecutableRules(const ExecutableSet& excluded, BuiltRules built,
                                        const AppRuleSources& sources) {
  std::vector<std::string> included;
  for (auto& path : discoverInstalledApplications(sources.roots)) {
    if (!excluded.contains(path)) {
      included.push_back(std::move(path));
    }
  }
  if (included.empty()) {
    return std::unexpected(noIncludedApplications());
  }
  auto signatures = inspect(included, sources);
  if (!signatures) {
    return std::unexpected(signatures.error());
  }
  // Unsigned or unreadable: that application gets no rule.
  for (std::size_t index = 0; index < included.size(); ++index) {
    auto& signature = (*signatures)[index];
    if (!signature) {
      built.skipped.push_back({std::move(included[index]), signature.error().reason});
      continue;
    }
    NEAppRule rule(std::move(signature->signingIdentifier),
                   std::move(signature->designatedRequirement));
    rule.matchPath = std::move(included[index]);
    built.rules.push_back(std::move(rule));
  }
  return built;
}

Result<BuiltRules> wholeApplicationRules(const ExecutableSet& excluded, BuiltRules built,
                                         const AppRuleSources& sources) {
  // Every included application with its nested code, in order; an excluded application's
  // nested code is never looked at.
  std::vector<NestedItem> items;
  std::size_t includedApplications = 0;
  for (auto& found : discoverApplicationBundles(sources.roots)) {
    if (found.executable && excluded.contains(*found.executable)) {
      continue;
    }
    const bool hasExecutable = found.executable.has_value();
    items.push_back({found.bundle, std::move(found.executable)});
    if (hasExecutable) {
      ++includedApplications;
      auto nested = nestedCode(found.bundle);
      std::ranges::move(nested, std::back_inserter(items));
    }
  }
  if (includedApplications == 0) {
    return std::unexpected(noIncludedApplications());
  }
  auto identities = distinctIdentities(items, sources, built.skipped);
  if (!identities) {
    return std::unexpected(identities.error());
  }
  for (auto& identity : *identities) {
    built.rules.emplace_back(std::move(identity.signature.signingIdentifier),
                             std::move(identity.signature.designatedRequirement));
  }
  return built;
}

}  // namespace

AppRuleSources AppRuleSources::system() {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return {applicationRoots(), kCodesignPath, std::clamp(cores * 8, 8u, 64u)};
}

Result<BuiltRules> buildIncludedAppRules(const std::vector<std::string>& excluding,
                                         const AppRuleSources& sources, RuleChoices choices) {
  progress::enter(Step::inspect);
  auto exclusions = resolveEntries(excluding, choices);
  if (!exclusions) {
    return std::unexpected(exclusions.error());
  }
  ExecutableSet excluded;
  for (const auto& executable : exclusions->executables) {
    if (executable) {
      excluded.insert(*executable);
    }
  }
  BuiltRules built;
  built.skipped = std::move(exclusions->notInstalled);
  auto rules = choices.coverage == RuleCoverage::wholeApplication
                   ? wholeApplicationRules(excluded, std::move(built), sources)
                   : firstExecutableRules(excluded, std::move(built), sources);
  if (rules && rules->rules.empty()) {
    return std::unexpected(noUsableRules());
  }
  return rules;
}

Result<BuiltMappings> buildAppMappings(const std::vector<std::string>& applications,
                                       const AppRuleSources& sources, MissingApps missingApps) {
  progress::enter(Step::inspect);
  auto resolved = resolveEntries(applications, {RuleCoverage::wholeApplication, missingApps});
  if (!resolved) {
    return std::unexpected(resolved.error());
  }
  BuiltMappings built;
  built.skipped = std::move(resolved->notInstalled);
  // Each listed application with its nested code, in the request's order, each item with the
  // entry it belongs to.
  std::vector<NestedItem> items;
  std::vector<std::size_t> entryOf;
  for (std::size_t entry = 0; entry < applications.size(); ++entry) {
    if (!resolved->executables[entry]) {
      continue;
    }
    const std::string location = absolutePath(text::trimmedWhitespace(applications[entry]));
    items.push_back({location, std::move(resolved->executables[entry])});
    entryOf.push_back(entry);
    if (hasAppExtension(location)) {
      for (auto& nested : nestedCode(location)) {
        items.push_back(std::move(nested));
        entryOf.push_back(entry);
      }
    }
  }
  auto identities = distinctIdentities(items, sources, built.skipped);
  if (!identities) {
    return std::unexpected(identities.error());
  }
  for (auto& identity : *identities) {
    built.mappings.push_back({std::move(identity.signature.signingIdentifier),
                              std::move(identity.signature.designatedRequirement),
                              applications[entryOf[identity.item]]});
  }
  if (built.mappings.empty()) {
    return std::unexpected(Error{ManagerError::codesign(
        "None of the applications in \"apps\" could be mapped to the VPN: no code signature of "
        "theirs named an application that a profile may send through it.")});
  }
  return built;
}

}  // namespace kelo::apprules
