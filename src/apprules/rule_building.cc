#include "apprules/rule_building.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <system_error>
#include <thread>

#include "apprules/code_signature.h"
#include "apprules/discovery.h"
#include "apprules/executable_resolution.h"
#include "text/unicode_text.h"

namespace kelo::apprules {

namespace {

// The signatures of `paths`, in their order; an application whose signature cannot be read has
// none. Up to `bound` code-signing children run at once, started by helper threads and the
// calling thread, which all take the next path in turn.
std::vector<std::optional<CodeSignature>> inspect(const std::vector<std::string>& paths,
                                                  const std::string& codesignPath, unsigned bound) {
  std::vector<std::optional<CodeSignature>> signatures(paths.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t index = next++; index < paths.size(); index = next++) {
      // A rule names its executable by a text, which bytes that are not UTF-8 cannot be: such
      // an application gets no rule, and is not inspected.
      if (!text::isValidUTF8(paths[index])) {
        continue;
      }
      try {
        if (auto signature = fetchCodeSignature(paths[index], codesignPath)) {
          signatures[index] = std::move(*signature);
        }
      } catch (const std::exception&) {
        // Out of memory for one report, say: that application gets no rule.
      }
    }
  };
  std::vector<std::thread> helpers;
  // Helpers besides the calling thread: one fewer than the children that may run at once.
  const std::size_t wanted =
      std::min<std::size_t>(std::max(bound, 1u), std::max<std::size_t>(paths.size(), 1)) - 1;
  for (std::size_t count = 0; count < wanted; ++count) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: fewer children at once, same result
    }
  }
  work();
  for (auto& helper : helpers) {
    helper.join();
  }
  return signatures;
}

}  // namespace

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

  auto signatures = inspect(included, sources.codesignPath, maximumConcurrentInspections());
  std::vector<NEAppRule> rules;
  for (std::size_t index = 0; index < included.size(); ++index) {
    auto& signature = signatures[index];
    if (!signature) {
      continue;  // unsigned or unreadable: that application gets no rule
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
