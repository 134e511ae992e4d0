// Reading the code-signing tool's report: the pure part of code-signature inspection, apart
// from running the child. Any thread.
#pragma once

#include <string>
#include <string_view>

#include "kelo_desktop_ne_manager.h"

namespace kelo {

// Standard error's text, a line feed, then standard output's; an empty text is left out.
std::string signatureReport(std::string_view standardOutput, std::string_view standardError);

// The signing identifier and designated requirement of the report's lines; later lines win.
Result<CodeSignature> parseSignatureReport(std::string_view report, const std::string& path);

}  // namespace kelo
