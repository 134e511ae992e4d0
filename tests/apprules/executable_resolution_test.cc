// Executable resolution on real temporary trees: trimming, the "app" extension, the first
// regular file of the executable folder in listing order, links, and both failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include "apprules/executable_resolution.h"
#include "apprules/file_paths.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

using testing::makeSymlink;
using testing::writeFile;

std::string resolved(std::string_view path) {
  const auto result = canonicalExecutablePath(path);
  return result ? *result : "error: " + failureMessage(result.error());
}

class ExecutableResolution : public ::testing::Test {
 protected:
  std::string bundle(const std::string& relative, const std::string& executable = "Main") {
    writeFile(dir_ / (relative + "/Contents/MacOS/" + executable), "#!/bin/sh\n", 0755);
    return dir_ / relative;
  }
  testing::TemporaryDirectory dir_;
};

TEST_F(ExecutableResolution, EverySpellingOfABundleGivesOneStringAndABlankOneNone) {
  const std::string editor = bundle("Editor.app", "Editor");
  const std::string expected = editor + "/Contents/MacOS/Editor";
  EXPECT_EQ(resolved(editor), expected);
  EXPECT_EQ(resolved(editor + "/"), expected);
  EXPECT_EQ(resolved(" \t" + editor + "\n"), expected);
  EXPECT_EQ(resolved("\u00a0\u2028" + editor + "\u0085\u3000\u2029"), expected);
  EXPECT_EQ(resolved(expected), expected);
  makeSymlink(editor, dir_ / "Linked.APP");
  EXPECT_EQ(resolved(dir_ / "Linked.APP"), expected);
  for (const char* blank : {"", "   ", "\t\n\r", "\u00a0\u2028"}) {
    EXPECT_EQ(resolved(blank), "error: Application path cannot be empty.") << blank;
  }
}

TEST_F(ExecutableResolution, PicksTheFirstRegularFileTheListingYields) {
  const std::string suite = bundle("Suite.app", "zeta");
  for (const char* name : {"alpha", "mu", "beta", "omega", "kappa"}) {
    writeFile(suite + "/Contents/MacOS/" + name, "", 0755);
  }
  testing::makeDirectories(suite + "/Contents/MacOS/Helpers");
  writeFile(suite + "/Contents/MacOS/.hidden", "", 0755);
  std::string first;
  const auto entries = visibleEntries(suite + "/Contents/MacOS");
  if (!entries) {
    FAIL() << "the folder cannot be listed";
  }
  for (const auto& name : *entries) {
    if (name != "Helpers") {
      first = name;
      break;
    }
  }
  EXPECT_EQ(resolved(suite), suite + "/Contents/MacOS/" + first);
}

TEST_F(ExecutableResolution, BundlesWithoutARegularFileFailWithTheAbsoluteBundlePath) {
  const std::string linked = bundle("Linked.app");
  unlink((linked + "/Contents/MacOS/Main").c_str());
  makeSymlink("/bin/sh", linked + "/Contents/MacOS/Main");
  testing::makeDirectories(dir_ / "Empty.app/Contents/MacOS");
  testing::makeDirectories(dir_ / "Broken.app/Contents");
  writeFile(dir_ / "Tool.app", "not a folder");
  writeFile(dir_ / "Hidden.app/Contents/MacOS/.Main", "", 0755);
  for (const char* name : {"Linked.app", "Empty.app", "Broken.app", "Tool.app", "Hidden.app"}) {
    EXPECT_EQ(resolved(dir_ / name), "error: No executable found in " + dir_ / name + ".");
  }
  EXPECT_EQ(resolved(dir_ / "Broken.app//"),
            "error: No executable found in " + dir_ / "Broken.app.");
}

TEST_F(ExecutableResolution, RelativeInputIsTakenFromTheWorkingDirectory) {
  const std::string editor = bundle("Editor.app", "Editor");
  const std::string previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  const std::string fromRelative = resolved("Editor.app");
  const std::string missing = resolved("./Missing.app");
  std::filesystem::current_path(previous);
  EXPECT_EQ(fromRelative, editor + "/Contents/MacOS/Editor");
  EXPECT_EQ(missing, "error: No executable found in " + dir_.path() + "/./Missing.app.");
}

TEST_F(ExecutableResolution, OtherPathsAreResolvedWithoutBeingChecked) {
  testing::makeDirectories(dir_ / "release-2/bin");
  makeSymlink(dir_ / "release-2", dir_ / "current");
  makeSymlink("../release-2/bin", dir_ / "relative/bin");
  EXPECT_EQ(resolved(dir_ / "current/bin/tool"), dir_ / "release-2/bin/tool");
  EXPECT_EQ(resolved(dir_ / "relative/bin/tool"), dir_ / "release-2/bin/tool");
  EXPECT_EQ(resolved(dir_ / "current/./bin/../bin/tool"), dir_ / "release-2/bin/tool");
  EXPECT_EQ(resolved("/usr/local/bin/absent/"), "/usr/local/bin/absent");
  makeSymlink("loop", dir_ / "loop");
  EXPECT_EQ(resolved(dir_ / "loop/x"), dir_ / "loop/x");
}

}  // namespace
}  // namespace kelo::apprules
