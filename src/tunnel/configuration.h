// Profile configuration: fills a profile object from a connect request with a new
// tunnel-provider protocol (server address, flags, the provider configuration that the
// packet-tunnel extension reads), a name, the enabled flag, its application rules and its
// on-demand rules, with on-demand off. Changes
// only the object in memory; the connect command calls it on the main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/requests.h"
#include "platform/network_extension.h"

namespace kelo::tunnel {

// The name a profile of the tool carries, in the system's settings and in an exported profile.
inline constexpr char kProfileName[] = "Kelo VPN";

// The tunnel-provider protocol of a connect request: the provider, the server address, the
// traffic settings and the provider configuration that the packet-tunnel extension reads.
std::shared_ptr<NETunnelProviderProtocol> tunnelProtocol(const ConnectPayload& payload,
                                                         bool perAppMode);

// `rules` are the per-app rules in per-app mode and the empty list of a full tunnel; they are
// always written, so every configured profile states its rules.
void configure(NETunnelProviderManager& manager, const ConnectPayload& payload, bool perAppMode,
               std::vector<NEAppRule> rules);

// The server address in a peer endpoint: the text inside leading brackets, else the text
// before the last colon, else the whole trimmed text; nothing for a blank text or an
// unclosed bracket.
std::optional<std::string> endpointHost(std::string_view from);

}  // namespace kelo::tunnel
