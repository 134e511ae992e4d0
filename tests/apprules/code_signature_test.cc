// Code-signature inspection: the report's parsing rules on their own, and the child process
// through small fake code-signing programs.
#include <gtest/gtest.h>

#include <array>

#include "apprules/code_signature.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

// The signature, or why there is none and the failure's message.
std::string outcome(const Inspection& result) {
  if (!result) {
    constexpr std::array<const char*, 6> kReasons = {"notSigned", "noIdentifier",   "noRequirement",
                                                     "notUtf8",   "outputTooLarge", "notStarted"};
    return std::string(kReasons.at(static_cast<std::size_t>(result.error().reason))) + ": " +
           failureMessage(result.error().error);
  }
  return result->signingIdentifier + " | " + result->designatedRequirement;
}

// The identifier only at the start of a line, the requirement marker anywhere in one, later
// lines winning even when empty, and Unicode white space trimmed.
TEST(SignatureReport, ReadsTheLastIdentifierAndRequirementLines) {
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Identifier=com.example.app  \ndesignated => anchor apple", "com.example.app | anchor apple"},
      {"  Identifier=com.example.app\ndesignated => x", "noIdentifier: Missing signing identifier for /x/App"},
      {"identifier=com.example.app\ndesignated => x", "noIdentifier: Missing signing identifier for /x/App"},
      {"Identifier=a\n# designated => identifier \"a\" and anchor apple\r", "a | identifier \"a\" and anchor apple"},
      {"Identifier=a\ndesignated => one designated => two", "a | one designated => two"},
      {"Identifier=a designated => both", "a designated => both | both"},
      {"Identifier=a\nDesignated => x", "noRequirement: Missing designated requirement for /x/App"},
      {"Identifier=first\nIdentifier=second\ndesignated => r", "second | r"},
      {"Identifier=first\nIdentifier=\ndesignated => r", "noIdentifier: Missing signing identifier for /x/App"},
      {"Identifier=a\ndesignated => r\ndesignated =>", "noRequirement: Missing designated requirement for /x/App"},
      {"Identifier=\u00a0a\u2028\n\n\ndesignated =>\tr\u0085", "a | r"},
  };
  // clang-format on
  for (const auto& [report, expected] : cases) {
    EXPECT_EQ(outcome(parseSignatureReport(report, "/x/App")), expected) << report;
  }
}

// Fake code-signing programs made of shell scripts, each run on an executable whose path has a
// blank in it: the arguments, which stream wins, failures with their report, output that is not
// UTF-8, output larger than a pipe holds, and too much of it.
TEST(FakeCodesign, InspectsThroughTheCodeSigningProgram) {
  testing::TemporaryDirectory dir;
  const std::string path = "/Apps/My App";
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"printf 'Identifier=%s|%s|%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" \"$3\" \"$4\" >&2\necho 'designated => x'\n",
       "4|-d|--verbose=4|-r-|/Apps/My App | x"},
      {"echo 'Identifier=from.err' >&2\necho 'designated => err' >&2\necho 'Identifier=from.out'\n", "from.out | err"},
      {"exit 3\n", "notSigned: Failed to inspect code signature for /Apps/My App: "},
      {"echo 'not signed' >&2\necho out\nexit 1\n",
       "notSigned: Failed to inspect code signature for /Apps/My App: not signed\n\nout\n"},
      {"printf 'Identifier=a\\ndesignated => b\\n\\377'\n", "noIdentifier: Missing signing identifier for /Apps/My App"},
      {"printf 'Identifier=a\\ndesignated => b\\n'\nprintf '\\377' >&2\n", "a | b"},
      {"head -c 1048575 /dev/zero | tr '\\0' x >&2\nhead -c 1048000 /dev/zero | tr '\\0' y\n"
       "printf '\\nIdentifier=big\\ndesignated => large\\n'\n", "big | large"},
      {"head -c 1048577 /dev/zero; sleep 600\n",
       "outputTooLarge: The program " + dir / "codesign" + " wrote more than 1 MiB to one stream."},
  };
  // clang-format on
  std::size_t answered = 0;
  for (const auto& [body, expected] : cases) {
    testing::writeFile(dir / "codesign", "#!/bin/sh\n" + body, 0755);
    (void)fetchCodeSignatures({path}, dir / "codesign", 1,
                              [&](std::size_t, const Inspection& found) {
                                EXPECT_EQ(outcome(found), expected) << body;
                                ++answered;
                              });
  }
  EXPECT_EQ(answered, cases.size());
  // A launch error travels unchanged: the platform's, not the tool's.
  (void)fetchCodeSignatures({path}, dir / "absent", 1, [&](std::size_t, const Inspection& found) {
    EXPECT_EQ(
        found.error(),
        (InspectionFailure{SkipReason::notStarted,
                           PlatformError{"The program " + dir / "absent" +
                                         " could not be started: No such file or directory"}}));
  });
}

}  // namespace
}  // namespace kelo::apprules
