// Code-signature inspection: runs the code-signing program on executables and reads the
// signing identifier and designated requirement from its report. Blocks the calling thread
// (the one building rules) until every child has exited; the report parsing is pure.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/errors.h"
#include "payloads/status_payload.h"
#include "platform/child_process.h"

namespace kelo::apprules {

inline constexpr char kCodesignPath[] = "/usr/bin/codesign";

// How one application is signed: what a per-app rule needs besides the executable's path.
struct CodeSignature {
  std::string signingIdentifier;
  std::string designatedRequirement;

  bool operator==(const CodeSignature&) const = default;
};

// Why an application has no signature: the reason its rule is missing, and the failure.
struct InspectionFailure {
  SkipReason reason;
  Error error;

  bool operator==(const InspectionFailure&) const = default;
};

using Inspection = std::expected<CodeSignature, InspectionFailure>;

// Runs `codesignPath -d --verbose=4 -r- PATH` once for each of `paths`, up to `concurrency`
// children at once, and hands each path's signature, or why it has none, to `found` with the
// path's index, in the order the children end. Fails, with the launch error, when the program
// could not be started for want of processes, descriptors or memory that no running child of
// its own could give back (see runChildProcesses).
Result<void> fetchCodeSignatures(const std::vector<std::string>& paths,
                                 const std::string& codesignPath, unsigned concurrency,
                                 const std::function<void(std::size_t, Inspection)>& found);

// The signature that one run of the code-signing program on `path` reports. A launch error
// travels unchanged; a non-zero exit status and a report without an identifier or
// requirement fail with `codesign`.
Inspection codeSignature(const std::string& path, const ChildOutcome& run);

// The signing identifier and designated requirement of a report (standard error's lines, then
// standard output's); later lines win.
Inspection parseSignatureReport(std::string_view report, const std::string& path);

}  // namespace kelo::apprules
