// Rule building over temporary application roots with a fake code-signing program that signs
// every application except those whose name says "Unsigned", and records each call.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "apprules/rule_building.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

class RuleBuilding : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::writeFile(dir_ / "codesign",
                       "#!/bin/sh\n"
                       "echo \"$4\" >> '" +
                           dir_ / "calls" +
                           "'\n"
                           "case \"$4\" in *Unsigned*) echo 'code object is not signed at all' "
                           ">&2; exit 1;; esac\n"
                           "name=$(basename \"$4\")\n"
                           "echo \"Identifier=com.example.${name%%-*}\" >&2\n"
                           "echo \"designated => identifier \\\"com.example.${name%%-*}\\\"\"\n",
                       0755);
    sources_ = {{dir_ / "Applications", dir_ / "Home/Applications"}, dir_ / "codesign"};
  }
  std::string bundle(const std::string& relative, const std::string& executable) {
    const std::string path = dir_ / (relative + "/Contents/MacOS/" + executable);
    testing::writeFile(path, "", 0755);
    return path;
  }
  Result<std::vector<NEAppRule>> build(const std::vector<std::string>& excluding) {
    return buildIncludedAppRules(excluding, sources_);
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

TEST_F(RuleBuilding, IncludesEverySignedApplicationThatIsNotExcluded) {
  const auto mail = bundle("Applications/Mail.app", "Mail");
  const auto notes = bundle("Home/Applications/Notes.app", "Notes");
  const auto chat = bundle("Applications/Chat.app", "Chat");
  bundle("Applications/Unsigned.app", "Unsigned");
  const auto rules =
      build({dir_ / "Applications/Mail.app", mail, " " + mail + "\n", dir_ / "Nothing/here"});
  EXPECT_EQ(rules.value(), (std::vector<NEAppRule>{rule("Chat", chat), rule("Notes", notes)}));
  EXPECT_EQ(build({}).value(),
            (std::vector<NEAppRule>{rule("Chat", chat), rule("Mail", mail), rule("Notes", notes)}));
}

TEST_F(RuleBuilding, KeepsOneRulePerExecutableEvenWhenIdentifiersRepeat) {
  const auto first = bundle("Applications/One.app", "Twin-1");
  const auto second = bundle("Applications/Two.app", "Twin-2");
  EXPECT_EQ(build({}).value(), (std::vector<NEAppRule>{rule("Twin", first), rule("Twin", second)}));
}

TEST_F(RuleBuilding, MatchesExclusionsInEitherUnicodeNormalForm) {
  bundle("Applications/Caf\u00e9.app", "Caf\u00e9");
  const auto other = bundle("Applications/Other.app", "Other");
  // The decomposed spelling names no file here, so it stays as written and must still match.
  EXPECT_EQ(build({dir_ / "Applications/Cafe\u0301.app/Contents/MacOS/Cafe\u0301"}).value(),
            std::vector<NEAppRule>{rule("Other", other)});
}

TEST_F(RuleBuilding, TheFirstBadExclusionEndsItBeforeDiscovery) {
  bundle("Applications/Mail.app", "Mail");
  const auto rules = build({dir_ / "Applications/Mail.app", dir_ / "Missing.app", "  "});
  EXPECT_EQ(rules.error(),
            Error{ManagerError::invalidInput("No executable found in " + dir_ / "Missing.app.")});
  EXPECT_EQ(build({"\n"}).error(),
            Error{ManagerError::invalidInput("Application path cannot be empty.")});
  EXPECT_TRUE(calls().empty());
}

TEST_F(RuleBuilding, FailsWhenNothingIsLeftToInclude) {
  const auto mail = bundle("Applications/Mail.app", "Mail");
  EXPECT_EQ(build({mail}).error(), Error{ManagerError::invalidInput(
                                       "App-based split tunneling could not derive any included "
                                       "macOS apps from the current installation set.")});
  EXPECT_TRUE(calls().empty());
  sources_.roots = {dir_ / "Nowhere"};
  EXPECT_EQ(build({}).error(), Error{ManagerError::invalidInput(
                                   "App-based split tunneling could not derive any included "
                                   "macOS apps from the current installation set.")});
}

TEST_F(RuleBuilding, FailsWhenNoSignatureCanBeRead) {
  const auto unsigned1 = bundle("Applications/Unsigned1.app", "Unsigned1");
  const auto unsigned2 = bundle("Applications/Unsigned2.app", "Unsigned2");
  EXPECT_EQ(build({}).error(), Error{ManagerError::codesign(
                                   "App-based split tunneling could not build any usable macOS "
                                   "app rules from the installed application set.")});
  EXPECT_EQ(calls(), (std::vector<std::string>{unsigned1, unsigned2}));
  sources_.codesignPath = dir_ / "absent";
  EXPECT_EQ(failureMessage(build({}).error()),
            "App-based split tunneling could not build any usable macOS app rules from the "
            "installed application set.");
}

// Many applications, inspected side by side by a code-signing program that answers the first
// ones last: the rules still come in discovery order, each application is inspected once, and
// the unsigned ones are left out.
TEST_F(RuleBuilding, KeepsDiscoveryOrderWhenInspectionsRunSideBySide) {
  testing::writeFile(dir_ / "codesign",
                     "#!/bin/sh\n"
                     "echo \"$4\" >> '" +
                         dir_ / "calls" +
                         "'\n"
                         "name=$(basename \"$4\")\n"
                         "sleep \"0.0$((99 - ${name#App}))\"\n"
                         "case \"$name\" in *7) exit 1;; esac\n"
                         "echo \"Identifier=com.example.$name\" >&2\n"
                         "echo \"designated => identifier \\\"com.example.$name\\\"\"\n",
                     0755);
  sources_.maximumInspections = 16;
  std::vector<NEAppRule> expected;
  std::vector<std::string> everyPath;
  for (int index = 10; index < 50; ++index) {
    const std::string name = "App" + std::to_string(index);
    const auto path = bundle("Applications/" + name + ".app", name);
    everyPath.push_back(path);
    if (index % 10 != 7) {
      expected.push_back(rule(name, path));
    }
  }
  const auto rules = build({});
  ASSERT_TRUE(rules.has_value());
  EXPECT_EQ(*rules, expected);
  EXPECT_EQ(calls(), everyPath);
}

}  // namespace
}  // namespace kelo::apprules
