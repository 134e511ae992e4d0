// Code-signature inspection: the report's parsing rules on their own, and the child process
// through small fake code-signing programs.
#include <gtest/gtest.h>

#include "apprules/code_signature.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

std::string outcome(const Result<CodeSignature>& result) {
  if (!result) {
    return "error: " + failureMessage(result.error());
  }
  return result->signingIdentifier + " | " + result->designatedRequirement;
}

std::string parsed(std::string_view report) {
  return outcome(parseSignatureReport(report, "/x/App"));
}

TEST(SignatureReport, ReadsTheIdentifierOnlyAtTheStartOfALine) {
  EXPECT_EQ(parsed("Identifier=com.example.app  \ndesignated => anchor apple"),
            "com.example.app | anchor apple");
  EXPECT_EQ(parsed("  Identifier=com.example.app\ndesignated => x"),
            "error: Missing signing identifier for /x/App");
  EXPECT_EQ(parsed("identifier=com.example.app\ndesignated => x"),
            "error: Missing signing identifier for /x/App");
}

TEST(SignatureReport, FindsTheRequirementMarkerAnywhereInALine) {
  EXPECT_EQ(parsed("Identifier=a\n# designated => identifier \"a\" and anchor apple\r"),
            "a | identifier \"a\" and anchor apple");
  EXPECT_EQ(parsed("Identifier=a\ndesignated => one designated => two"),
            "a | one designated => two");
  EXPECT_EQ(parsed("Identifier=a designated => both"), "a designated => both | both");
  EXPECT_EQ(parsed("Identifier=a\nDesignated => x"),
            "error: Missing designated requirement for /x/App");
}

TEST(SignatureReport, LaterLinesWinEvenWhenEmpty) {
  EXPECT_EQ(parsed("Identifier=first\nIdentifier=second\ndesignated => r"), "second | r");
  EXPECT_EQ(parsed("Identifier=first\nIdentifier=\ndesignated => r"),
            "error: Missing signing identifier for /x/App");
  EXPECT_EQ(parsed("Identifier=a\ndesignated => r\ndesignated =>"),
            "error: Missing designated requirement for /x/App");
  EXPECT_EQ(parsed("Identifier=\u00a0a\u2028\n\n\ndesignated =>\tr\u0085"), "a | r");
}

class FakeCodesign : public ::testing::Test {
 protected:
  // A code-signing program made of a shell script.
  std::string program(const std::string& body) {
    const std::string path = dir_ / ("codesign-" + std::to_string(++count_));
    testing::writeFile(path, "#!/bin/sh\n" + body, 0755);
    return path;
  }
  Result<CodeSignature> fetch(const std::string& program, const std::string& path = "/Apps/A") {
    Result<CodeSignature> fetched = std::unexpected(Error{PlatformError{}});
    fetchCodeSignatures({path}, program, 1,
                        [&](std::size_t, Result<CodeSignature> found) { fetched = found; });
    return fetched;
  }
  testing::TemporaryDirectory dir_;
  int count_ = 0;
};

TEST_F(FakeCodesign, PassesTheExactArgumentsWithThePathAsOneArgument) {
  const auto codesign = program(
      "printf 'Identifier=%s|%s|%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" \"$3\" \"$4\" >&2\n"
      "echo 'designated => identifier x'\n");
  EXPECT_EQ(
      outcome(fetch(codesign, "/Applications/My Editor.app/Contents/MacOS/My Editor")),
      "4|-d|--verbose=4|-r-|/Applications/My Editor.app/Contents/MacOS/My Editor | identifier x");
}

TEST_F(FakeCodesign, TakesAValueBothStreamsCarryFromStandardOutput) {
  const auto codesign = program(
      "echo 'Identifier=from.err' >&2\necho 'designated => err' >&2\n"
      "echo 'Identifier=from.out'\n");
  EXPECT_EQ(outcome(fetch(codesign)), "from.out | err");
}

TEST_F(FakeCodesign, ReportsAFailedInspectionWithTheWholeReport) {
  EXPECT_EQ(outcome(fetch(program("exit 3\n"))),
            "error: Failed to inspect code signature for /Apps/A: ");
  EXPECT_EQ(outcome(fetch(program("echo 'not signed' >&2\necho out\nexit 1\n"))),
            "error: Failed to inspect code signature for /Apps/A: not signed\n\nout\n");
}

TEST_F(FakeCodesign, ReadsOutputThatIsNotUTF8AsNoText) {
  EXPECT_EQ(outcome(fetch(program("printf 'Identifier=a\\ndesignated => b\\n\\377'\n"))),
            "error: Missing signing identifier for /Apps/A");
  EXPECT_EQ(
      outcome(fetch(program("printf 'Identifier=a\\ndesignated => b\\n'\nprintf '\\377' >&2\n"))),
      "a | b");
}

// Both pipes are drained while the child runs, up to 1 MiB a stream; a child that writes more
// is ended, and its inspection fails.
TEST_F(FakeCodesign, DrainsReportsUpToOneMebibyteAStream) {
  const auto large = program(
      "head -c 1048575 /dev/zero | tr '\\0' 'x' >&2\n"
      "head -c 1048000 /dev/zero | tr '\\0' 'y'\n"
      "printf '\\nIdentifier=big\\ndesignated => large\\n'\n");
  EXPECT_EQ(outcome(fetch(large)), "big | large");
  const auto tooLarge = program("head -c 1048577 /dev/zero; sleep 600\n");
  EXPECT_EQ(outcome(fetch(tooLarge)),
            "error: The program " + tooLarge + " wrote more than 1 MiB to one stream.");
}

TEST_F(FakeCodesign, ReportsAProgramThatCannotBeStartedUnchanged) {
  const auto missing = fetch(dir_ / "absent");
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(std::holds_alternative<PlatformError>(missing.error()));
  EXPECT_EQ(failureMessage(missing.error()),
            "The program " + dir_ / "absent" + " could not be started: No such file or directory");
  testing::writeFile(dir_ / "not-executable", "#!/bin/sh\n", 0644);
  EXPECT_TRUE(std::holds_alternative<PlatformError>(fetch(dir_ / "not-executable").error()));
}

}  // namespace
}  // namespace kelo::apprules
