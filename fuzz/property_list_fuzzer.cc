// An Info.plist of any bytes, XML or binary, and the first bytes of any file taken for a Mach-O
// header: each yields an answer, never a crash, however deep or broken.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "apprules/nested_code.h"
#include "apprules/property_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto name = kelo::apprules::topLevelString(bytes, "CFBundleExecutable");
  if (name && name->size() > 4 * bytes.size()) {
    __builtin_trap();  // no text grows beyond what its bytes can spell
  }
  (void)kelo::apprules::isMachOExecutableHeader(bytes);
  (void)kelo::apprules::universalFirstOffset(bytes);
  return 0;
}
