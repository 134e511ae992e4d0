#include "apprules/code_signature.h"

#include <algorithm>
#include <optional>

#include "text/unicode_text.h"

namespace kelo::apprules {

namespace {

constexpr std::string_view kIdentifierPrefix = "Identifier=";
constexpr std::string_view kRequirementMarker = "designated =>";

// Output that is not valid UTF-8 reads as no text at all.
std::string_view decoded(std::string_view bytes) {
  return text::isValidUTF8(bytes) ? bytes : std::string_view{};
}

// Standard error's text, a line feed, then standard output's; an empty text is left out.
std::string signatureReport(std::string_view standardOutput, std::string_view standardError) {
  std::string report(standardError);
  if (!report.empty() && !standardOutput.empty()) {
    report += '\n';
  }
  report += standardOutput;
  return report;
}

}  // namespace

Inspection parseSignatureReport(std::string_view report, const std::string& path) {
  std::optional<std::string_view> identifier;
  std::optional<std::string_view> requirement;
  std::size_t start = 0;
  while (start < report.size()) {
    const auto end = std::min(report.find('\n', start), report.size());
    const std::string_view line = report.substr(start, end - start);
    start = end + 1;
    if (line.starts_with(kIdentifierPrefix)) {
      identifier = text::trimmedWhitespace(line.substr(kIdentifierPrefix.size()));
    }
    if (const auto marker = line.find(kRequirementMarker); marker != std::string_view::npos) {
      requirement = text::trimmedWhitespace(line.substr(marker + kRequirementMarker.size()));
    }
  }
  if (!identifier || identifier->empty()) {
    return std::unexpected(
        InspectionFailure{SkipReason::noIdentifier,
                          ManagerError::codesign("Missing signing identifier for " + path)});
  }
  if (!requirement || requirement->empty()) {
    return std::unexpected(
        InspectionFailure{SkipReason::noRequirement,
                          ManagerError::codesign("Missing designated requirement for " + path)});
  }
  return CodeSignature{std::string(*identifier), std::string(*requirement)};
}

Inspection codeSignature(const std::string& path, const ChildOutcome& run) {
  if (!run) {
    const bool tooLarge = run.error().reason == ChildFailure::Reason::outputTooLarge;
    return std::unexpected(InspectionFailure{
        tooLarge ? SkipReason::outputTooLarge : SkipReason::notStarted, run.error().error});
  }
  const std::string report =
      signatureReport(decoded(run->standardOutput), decoded(run->standardError));
  if (run->terminationStatus != 0) {
    return std::unexpected(InspectionFailure{
        SkipReason::notSigned,
        ManagerError::codesign("Failed to inspect code signature for " + path + ": " + report)});
  }
  return parseSignatureReport(report, path);
}

Result<void> fetchCodeSignatures(const std::vector<std::string>& paths,
                                 const std::string& codesignPath, unsigned concurrency,
                                 const std::function<void(std::size_t, Inspection)>& found) {
  std::vector<std::vector<std::string>> runs;
  runs.reserve(paths.size());
  for (const auto& path : paths) {
    runs.push_back({"-d", "--verbose=4", "-r-", path});
  }
  auto ran = runChildProcesses(codesignPath, runs, concurrency,
                               [&](std::size_t run, ChildOutcome outcome) {
                                 found(run, codeSignature(paths[run], outcome));
                               });
  if (!ran) {
    return std::unexpected(Error{ran.error()});
  }
  return {};
}

}  // namespace kelo::apprules
