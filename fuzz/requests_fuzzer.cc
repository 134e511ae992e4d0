// Request decoding, both requests: any bytes end in a value or a decoding error, never in a
// crash, an exception or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "payloads/requests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)kelo::ConnectPayload::decode(bytes);
  (void)kelo::AppRulePayload::decode(bytes);
  return 0;
}
