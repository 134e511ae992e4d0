// Code-signature inspection: runs the code-signing program on one executable and reads the
// signing identifier and designated requirement from its report. Blocks the calling thread
// (the one building rules) until the child has exited; the report parsing is pure.
#pragma once

#include <string>
#include <string_view>

#include "payloads/errors.h"

namespace kelo::apprules {

inline constexpr char kCodesignPath[] = "/usr/bin/codesign";

// How one application is signed: what a per-app rule needs besides the executable's path.
struct CodeSignature {
  std::string signingIdentifier;
  std::string designatedRequirement;

  bool operator==(const CodeSignature&) const = default;
};

// Runs `codesignPath -d --verbose=4 -r- path`. A launch error travels unchanged; a non-zero
// exit status and a report without an identifier or requirement fail with `codesign`.
Result<CodeSignature> fetchCodeSignature(const std::string& path,
                                         const std::string& codesignPath = kCodesignPath);

// The signing identifier and designated requirement of a report (standard error's lines, then
// standard output's); later lines win.
Result<CodeSignature> parseSignatureReport(std::string_view report, const std::string& path);

}  // namespace kelo::apprules
