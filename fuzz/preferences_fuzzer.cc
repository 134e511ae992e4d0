// Reading a simulated preferences document, and writing back what was read as the simulator
// writes it: any bytes end in a document or "could not be read".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/simulated/preferences_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto document = kelo::simulator::parsePreferences(bytes, "vpn-preferences.json");
  if (document) {
    (void)document->dump(2, ' ', false, kelo::simulator::Document::error_handler_t::replace);
  }
  return 0;
}
