// Application discovery on real temporary trees: the depth limit, what counts as a bundle,
// hidden entries, links, duplicates and the order of the result.
#include <gtest/gtest.h>

#include "apprules/discovery.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

using testing::makeSymlink;
using testing::writeFile;

class Discovery : public ::testing::Test {
 protected:
  // A bundle whose executable is named after it; returns the executable's path.
  std::string bundle(const std::string& relative) {
    const std::string name = std::filesystem::path(relative).stem().string();
    const std::string executable = dir_ / (relative + "/Contents/MacOS/" + name);
    writeFile(executable, "", 0755);
    return executable;
  }
  std::vector<std::string> discover(std::vector<std::string> roots) {
    for (auto& root : roots) {
      root = dir_ / root;
    }
    return discoverInstalledApplications(roots);
  }
  testing::TemporaryDirectory dir_;
};

// Three levels below a root, candidates judged by their name and never descended into.
TEST_F(Discovery, FindsBundlesUpToThreeLevelsBelowARootByTheirName) {
  const auto one = bundle("Applications/One.app");
  const auto two = bundle("Applications/Tools/Two.app");
  const auto three = bundle("Applications/Tools/Editors/Three.app");
  bundle("Applications/Tools/Editors/Old/Four.app");
  const auto upper = bundle("Applications/Viewer.APP");
  const auto inApps = bundle("Applications/Viewer.apps/Inner.app");
  const auto inPlain = bundle("Applications/Viewer/Plain.app");
  const auto suite = bundle("Applications/Suite.app");
  bundle("Applications/Suite.app/Contents/Library/Agent.app");
  writeFile(dir_ / "Applications/Tool.app", "a plain file");
  bundle("Applications/.Hidden.app");
  bundle("Applications/.hidden/Secret.app");
  EXPECT_EQ(discover({"Applications"}),
            (std::vector<std::string>{one, suite, three, two, upper, inApps, inPlain}));
}

TEST_F(Discovery, LeavesOutBundlesWithoutAnExecutableAndKeepsTheRest) {
  const auto good = bundle("Applications/Good.app");
  testing::makeDirectories(dir_ / "Applications/Missing.app/Contents");
  testing::makeDirectories(dir_ / "Applications/Empty.app/Contents/MacOS");
  makeSymlink(good, dir_ / "Applications/LinkOnly.app/Contents/MacOS/LinkOnly");
  // A folder that cannot be listed: a loop of links (permissions do not stop root).
  makeSymlink("MacOS", dir_ / "Applications/Unlistable.app/Contents/MacOS");
  EXPECT_EQ(discover({"Applications"}), std::vector<std::string>{good});
}

TEST_F(Discovery, FollowsLinksAndTakesEachExecutableOnce) {
  const auto editor = bundle("Applications/Editor.app");
  makeSymlink(dir_ / "Applications/Editor.app", dir_ / "Home/Applications/Editor.app");
  const auto outside = bundle("Elsewhere/Deep/Out.app");
  makeSymlink(dir_ / "Elsewhere", dir_ / "Applications/Linked");
  bundle("Elsewhere/Deep/Deeper/TooFar.app");
  makeSymlink(dir_ / "Elsewhere/Gone", dir_ / "Applications/Dangling");
  EXPECT_EQ(discover({"Applications", "Missing", "Home/Applications"}),
            (std::vector<std::string>{editor, outside}));
  EXPECT_TRUE(discover({"Missing", "Also/Missing"}).empty());
}

TEST_F(Discovery, SortsByUnicodeScalarsAfterComposition) {
  const auto zed = bundle("A/Zed.app");
  const auto atlas = bundle("A/atlas.app");
  const auto clock = bundle("B/Clock.app");
  const auto decomposed = bundle("A/E\u0301clair.app");  // sorts as U+00C9, after "z"
  EXPECT_EQ(discover({"B", "A"}), (std::vector<std::string>{zed, atlas, decomposed, clock}));
  std::string invalid;
  try {
    invalid = bundle("A/\xff.app");
  } catch (const std::exception&) {
    GTEST_SKIP() << "this file system refuses names that are not UTF-8 (APFS does)";
  }
  EXPECT_EQ(discover({"B", "A"}),  // compared as its own bytes
            (std::vector<std::string>{zed, atlas, decomposed, invalid, clock}));
}

TEST_F(Discovery, CollapsesCanonicallyEquivalentNames) {
  // Two roots whose names differ only in normal form hold the "same" application.
  const auto composed = bundle("Caf\u00e9/Menu.app");
  bundle("Cafe\u0301/Menu.app");
  EXPECT_EQ(discover({"Caf\u00e9", "Cafe\u0301"}), std::vector<std::string>{composed});
}

}  // namespace
}  // namespace kelo::apprules
