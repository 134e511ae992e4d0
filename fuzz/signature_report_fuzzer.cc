// The code-signing program's report: any text yields a signature or a codesign error.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "apprules/code_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view report(reinterpret_cast<const char*>(data), size);
  const auto signature = kelo::apprules::parseSignatureReport(report, "/Applications/A.app");
  if (signature &&
      (signature->signingIdentifier.empty() || signature->designatedRequirement.empty())) {
    __builtin_trap();  // a signature always has both parts
  }
  return 0;
}
