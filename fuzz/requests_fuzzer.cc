// Request decoding, every request: any bytes end in a value or a decoding error, never in a
// crash, an exception or undefined behaviour; an export request that decodes is written as a
// profile, which never holds the private key.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/configuration_profile.h"
#include "payloads/requests.h"
#include "tunnel/configuration.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)kelo::ConnectPayload::decode(bytes);
  (void)kelo::AppRulePayload::decode(bytes);
  (void)kelo::WaitPayload::decode(bytes);
  if (const auto request = kelo::ExportPayload::decode(bytes)) {
    const auto protocol = kelo::tunnel::tunnelProtocol(request->connect, false);
    const std::vector<kelo::mobileconfig::AppMapping> mappings;
    const std::string written = kelo::mobileconfig::written(
        {.name = kelo::tunnel::kProfileName,
         .payloadIdentifier = request->settings.payloadIdentifier,
         .applicationBundleIdentifier = request->settings.applicationBundleIdentifier,
         .organization = request->settings.organization,
         .protocol = *protocol,
         .onDemandRules = request->connect.onDemandRules,
         .mappings = mappings,
         .perApp = false});
    // As a key: a text of the request may hold the same letters, escaped as any text is.
    if (written.find("<key>private_key</key>") != std::string::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
