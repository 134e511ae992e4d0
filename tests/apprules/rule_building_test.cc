// Rule building over temporary application roots with a fake code-signing program that signs
// every application except those whose name says "Unsigned", and records each call. Failures
// that end a whole command are checked through the commands and the binary.
#include "apprules/rule_building.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/test_support.h"

namespace kelo::apprules {
namespace {

class RuleBuilding : public ::testing::Test {
 protected:
  void SetUp() override {
    codesign("case \"$4\" in *Unsigned*) exit 1;; esac\n");
    sources_ = {{dir_ / "Applications", dir_ / "Home/Applications"}, dir_ / "codesign"};
  }
  // The code-signing program: records the call, runs `first`, then signs the executable with
  // the part of its name before any "-".
  void codesign(const std::string& first) {
    testing::writeFile(dir_ / "codesign",
                       "#!/bin/sh\necho \"$4\" >> '" + dir_ / "calls" + "'\n" + first +
                           "name=$(basename \"$4\")\n"
                           "echo \"Identifier=com.example.${name%%-*}\" >&2\n"
                           "echo \"designated => identifier \\\"com.example.${name%%-*}\\\"\"\n",
                       0755);
  }
  std::string bundle(const std::string& relative, const std::string& executable) {
    const std::string path = dir_ / (relative + "/Contents/MacOS/" + executable);
    testing::writeFile(path, "", 0755);
    return path;
  }
  Result<std::vector<NEAppRule>> build(const std::vector<std::string>& excluding) {
    auto built = buildIncludedAppRules(excluding, sources_);
    if (!built) {
      return std::unexpected(built.error());
    }
    return std::move(built->rules);
  }
  // The paths the code-signing program was called with, sorted: children run side by side.
  std::vector<std::string> calls() const {
    std::vector<std::string> lines;
    std::istringstream text(testing::exists(dir_ / "calls") ? testing::readFile(dir_ / "calls")
                                                            : "");
    for (std::string line; std::getline(text, line);) {
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  static NEAppRule rule(const std::string& identifier, const std::string& path) {
    NEAppRule made("com.example." + identifier, "identifier \"com.example." + identifier + "\"");
    made.matchPath = path;
    return made;
  }

  testing::TemporaryDirectory dir_;
  AppRuleSources sources_;
};

// Excluded by bundle, by executable, with white space or twice; a path that names nothing
// installed excludes nothing; two executables that share an identifier keep a rule each.
TEST_F(RuleBuilding, IncludesEverySignedApplicationThatIsNotExcluded) {
  const auto mail = bundle("Applications/Mail.app", "Mail");
  const auto notes = bundle("Home/Applications/Notes.app", "Notes");
  const auto first = bundle("Applications/One.app", "Twin-1");
  const auto second = bundle("Applications/Two.app", "Twin-2");
  bundle("Applications/Unsigned.app", "Unsigned");
  const auto rules =
      build({dir_ / "Applications/Mail.app", mail, " " + mail + "\n", dir_ / "Nothing/here"});
  EXPECT_EQ(rules.value(), (std::vector<NEAppRule>{rule("Twin", first), rule("Twin", second),
                                                   rule("Notes", notes)}));
}

TEST_F(RuleBuilding, MatchesExclusionsInEitherUnicodeNormalForm) {
  bundle("Applications/Caf\u00e9.app", "Caf\u00e9");
  const auto other = bundle("Applications/Other.app", "Other");
  // The decomposed spelling names no file here, so it stays as written and must still match.
  EXPECT_EQ(build({dir_ / "Applications/Cafe\u0301.app/Contents/MacOS/Cafe\u0301"}).value(),
            std::vector<NEAppRule>{rule("Other", other)});
}

TEST_F(RuleBuilding, TheFirstBadExclusionEndsItBeforeAnyInspection) {
  bundle("Applications/Mail.app", "Mail");
  const auto rules = build({dir_ / "Applications/Mail.app", dir_ / "Missing.app", "  "});
  EXPECT_EQ(rules.error(),
            Error{ManagerError::invalidInput("No executable found in " + dir_ / "Missing.app.")
                      .coded(FailureCode::applicationNotFound)});
  EXPECT_TRUE(calls().empty());
}

// Many applications, inspected side by side by a code-signing program that answers the first
// ones last: the rules still come in discovery order, and each application is inspected once,
// the unsigned ones too (nothing says that their failure was a shortage), which are left out.
TEST_F(RuleBuilding, KeepsDiscoveryOrderWhenInspectionsRunSideBySide) {
  codesign(
      "name=$(basename \"$4\")\nsleep \"0.0$((99 - ${name#App}))\"\n"
      "case \"$name\" in *7) exit 1;; esac\n");
  sources_.maximumInspections = 16;
  std::vector<NEAppRule> expected;
  std::vector<SkippedApplication> skipped;
  std::vector<std::string> everyPath;
  for (int index = 10; index < 50; ++index) {
    const std::string name = "App" + std::to_string(index);
    everyPath.push_back(bundle("Applications/" + name + ".app", name));
    if (index % 10 != 7) {
      expected.push_back(rule(name, everyPath.back()));
    } else {
      skipped.push_back({everyPath.back(), SkipReason::notSigned});
    }
  }
  // A path that is not UTF-8 is skipped without an inspection, in its place in the order.
  skipped.push_back({bundle("Applications/Z\xff.app", "Z\xff"), SkipReason::notUtf8});
  const auto built = buildIncludedAppRules({}, sources_);
  ASSERT_TRUE(built);
  EXPECT_EQ(built->rules, expected);
  EXPECT_EQ(built->skipped, skipped);
  auto called = calls();
  std::ranges::sort(called);
  EXPECT_EQ(called, everyPath);
}

}  // namespace
}  // namespace kelo::apprules
