// Rule building over temporary application roots with a fake code-signing program that signs
// every application except those whose name says "Unsigned", and records each call. Failures
// that end a whole command are checked through the commands and the binary.
#include "apprules/rule_building.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
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
                           "name=$(basename \"$4\")\nmaker=example\n"
                           "case \"$name\" in Apple*) maker=apple;; esac\n"
                           "echo \"Identifier=com.$maker.${name%%-*}\" >&2\n"
                           "echo \"designated => identifier \\\"com.$maker.${name%%-*}\\\"\"\n",
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
  auto missing = ManagerError::invalidInput("No executable found in " + dir_ / "Missing.app.")
                     .coded(FailureCode::applicationNotFound);
  missing.paths = {dir_ / "Missing.app", "  "};
  EXPECT_EQ(rules.error(), Error{missing});
  EXPECT_TRUE(calls().empty());
}

// Skipped when asked: reported first, as written, and the rules are built without them.
TEST_F(RuleBuilding, MissingExclusionsAreSkippedWhenAsked) {
  const auto mail = bundle("Applications/Mail.app", "Mail");
  const auto built = buildIncludedAppRules({dir_ / "Missing.app", ""}, sources_,
                                           {RuleCoverage::firstExecutable, MissingApps::skip});
  ASSERT_TRUE(built);
  EXPECT_EQ(built->rules, std::vector<NEAppRule>{rule("Mail", mail)});
  EXPECT_EQ(built->skipped,
            (std::vector<SkippedApplication>{{dir_ / "Missing.app", SkipReason::notInstalled},
                                             {"", SkipReason::notInstalled}}));
}

std::string machO(unsigned char fileType) {
  return std::string("\xCF\xFA\xED\xFE\x0C\0\0\x01\0\0\0\0", 12) +
         std::string{static_cast<char>(fileType), 0, 0, 0} + std::string(16, '\0');
}

std::string infoList(const std::string& executable) {
  return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict><key>CFBundleExecutable</key>"
         "<string>" +
         executable + "</string></dict></plist>\n";
}

// A browser-like application with the executable its Info.plist names beside a library and
// other files, a Chromium-style helper, a framework's helper reached once through
// Versions/Current, an XPC service and an extension without Info.plist, a login item without
// an executable, an unsigned privileged helper and a second signature equal to the first; and
// one of Apple's applications. Every executable is inspected once; the rules carry no path.
TEST_F(RuleBuilding, WholeApplicationsCoverNestedCodeInItsOrder) {
  const std::string app = dir_ / "Applications/Browser.app/Contents";
  testing::writeFile(app + "/Info.plist", infoList("Browser"));
  testing::writeFile(app + "/MacOS/Browser", machO(2), 0755);
  testing::writeFile(app + "/MacOS/AAA.dylib", machO(6), 0755);
  testing::writeFile(app + "/MacOS/Reporter", machO(2), 0755);
  testing::writeFile(app + "/MacOS/Browser-copy", machO(2), 0755);
  testing::writeFile(app + "/MacOS/notes.txt", "text");
  testing::writeFile(app + "/Frameworks/Browser Helper.app/Contents/Info.plist",
                     infoList("Helper"));
  testing::writeFile(app + "/Frameworks/Browser Helper.app/Contents/MacOS/Helper", "", 0755);
  testing::writeFile(app + "/Frameworks/Core.framework/Versions/A/Helpers/Tool", machO(2), 0755);
  ASSERT_EQ(symlink("A", (app + "/Frameworks/Core.framework/Versions/Current").c_str()), 0);
  testing::writeFile(app + "/XPCServices/Fetch.xpc/Contents/MacOS/Fetch", "", 0755);
  testing::writeFile(app + "/PlugIns/Share.appex/Contents/MacOS/Share", "", 0755);
  testing::writeFile(app + "/Library/LoginItems/Agent.app/Contents/Info.plist", infoList("None"));
  testing::writeFile(app + "/Library/LaunchServices/Unsigned", machO(2), 0755);
  const auto calendar = bundle("Applications/AppleCalendar.app", "AppleCalendar");

  const auto built =
      buildIncludedAppRules({}, sources_, {RuleCoverage::wholeApplication, MissingApps::fail});
  ASSERT_TRUE(built);
  std::vector<NEAppRule> expected;
  for (const char* name : {"Browser", "Reporter", "Helper", "Tool", "Fetch", "Share"}) {
    expected.emplace_back(std::string("com.example.") + name,
                          std::string("identifier \"com.example.") + name + "\"");
  }
  EXPECT_EQ(built->rules, expected);
  EXPECT_EQ(built->skipped,
            (std::vector<SkippedApplication>{
                {calendar, SkipReason::systemApp},
                {app + "/Library/LoginItems/Agent.app", SkipReason::noExecutable},
                {app + "/Library/LaunchServices/Unsigned", SkipReason::notSigned}}));
  EXPECT_EQ(calls(), (std::vector<std::string>{
                         calendar,
                         app + "/Frameworks/Browser Helper.app/Contents/MacOS/Helper",
                         app + "/Frameworks/Core.framework/Versions/A/Helpers/Tool",
                         app + "/Library/LaunchServices/Unsigned",
                         app + "/MacOS/Browser",
                         app + "/MacOS/Browser-copy",
                         app + "/MacOS/Reporter",
                         app + "/PlugIns/Share.appex/Contents/MacOS/Share",
                         app + "/XPCServices/Fetch.xpc/Contents/MacOS/Fetch",
                     }));
}

// An exclusion by bundle and one by the executable Info.plist names agree, whatever file the
// listing yields first; an excluded application's nested code is never inspected, and an
// identity that an included application also yields keeps its rule.
TEST_F(RuleBuilding, WholeApplicationExclusionsTakeTheFamily) {
  for (const std::string name : {"Chat", "Mail", "Shared"}) {
    const std::string app = dir_ / ("Applications/" + name + ".app/Contents/");
    testing::writeFile(app + "Info.plist", infoList(name));
    testing::writeFile(app + "MacOS/" += name, "", 0755);
    testing::writeFile(app + "MacOS/0-first", machO(2), 0755);
    testing::writeFile(app + "Helpers/Common-" += name, machO(2), 0755);
  }
  const std::string chat = dir_ / "Applications/Chat.app";
  const auto built =
      buildIncludedAppRules({chat, dir_ / "Applications/Mail.app/Contents/MacOS/Mail"}, sources_,
                            {RuleCoverage::wholeApplication, MissingApps::fail});
  ASSERT_TRUE(built);
  EXPECT_EQ(built->rules, (std::vector<NEAppRule>{
                              {"com.example.Shared", "identifier \"com.example.Shared\""},
                              {"com.example.0", "identifier \"com.example.0\""},
                              {"com.example.Common", "identifier \"com.example.Common\""},
                          }));
  for (const auto& called : calls()) {
    EXPECT_EQ(called.find("/Chat.app/"), std::string::npos) << called;
    EXPECT_EQ(called.find("/Mail.app/"), std::string::npos) << called;
  }
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

// Mappings come from the listed applications alone, with their nested code, in the request's
// order: an identity that two share is mapped once, for the first; Apple's code, unsigned code
// and an application that is not installed are reported; nothing else is inspected.
TEST_F(RuleBuilding, MappingsCoverTheListedApplicationsAndNothingElse) {
  for (const std::string name : {"Chat", "Mail"}) {
    const std::string app = dir_ / ("Applications/" + name + ".app/Contents/");
    testing::writeFile(app + "Info.plist", infoList(name));
    testing::writeFile(app + "MacOS/" += name, "", 0755);
    testing::writeFile(app + "Helpers/Common-" += name, machO(2), 0755);
    testing::writeFile(app + "Helpers/AppleHelper-" += name, machO(2), 0755);
  }
  testing::writeFile(dir_ / "Applications/Chat.app/Contents/Helpers/Unsigned", machO(2), 0755);
  bundle("Applications/Other.app", "Other");
  const std::string chat = dir_ / "Applications/Chat.app";
  std::string mail = dir_ / "Applications/Mail.app/Contents/MacOS/Mail";
  mail += '\n';  // as written, white space included
  const auto built =
      buildAppMappings({chat, dir_ / "Missing.app", mail}, sources_, MissingApps::skip);
  ASSERT_TRUE(built);
  const auto mapping = [](const std::string& name, const std::string& application) {
    return mobileconfig::AppMapping{"com.example." + name,
                                    "identifier \"com.example." + name + "\"", application};
  };
  EXPECT_EQ(built->mappings,
            (std::vector<mobileconfig::AppMapping>{mapping("Chat", chat), mapping("Common", chat),
                                                   mapping("Mail", mail)}));
  const std::string helpers = chat + "/Contents/Helpers/";
  EXPECT_EQ(built->skipped,
            (std::vector<SkippedApplication>{{dir_ / "Missing.app", SkipReason::notInstalled},
                                             {helpers + "AppleHelper-Chat", SkipReason::systemApp},
                                             {helpers + "Unsigned", SkipReason::notSigned}}));
  for (const auto& called : calls()) {
    EXPECT_EQ(called.find("/Other.app/"), std::string::npos) << called;
    EXPECT_EQ(called.find("/Mail.app/Contents/Helpers/"), std::string::npos) << called;
  }

  // Missing entries fail by default, before anything is inspected, naming each as written; and
  // a list that yields no identity fails as rules without a signature do.
  std::filesystem::remove(dir_ / "calls");
  auto missing = buildAppMappings({dir_ / "Missing.app", chat, ""}, sources_, MissingApps::fail);
  ASSERT_FALSE(missing);
  EXPECT_EQ(failureCode(missing.error()), FailureCode::applicationNotFound);
  EXPECT_EQ(std::get<ManagerError>(missing.error()).paths,
            (std::vector<std::string>{dir_ / "Missing.app", ""}));
  EXPECT_TRUE(calls().empty());
  const auto unsignedOnly = buildAppMappings({helpers + "Unsigned"}, sources_, MissingApps::fail);
  ASSERT_FALSE(unsignedOnly);
  EXPECT_EQ(failureCode(unsignedOnly.error()), FailureCode::noUsableRules);
}

}  // namespace
}  // namespace kelo::apprules
