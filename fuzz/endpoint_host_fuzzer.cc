// The server address taken from a peer endpoint: any text, any bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tunnel/configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto host =
      kelo::tunnel::endpointHost(std::string_view(reinterpret_cast<const char*>(data), size));
  if (host && host->size() > size) {
    __builtin_trap();  // a host is always a part of the endpoint
  }
  return 0;
}
