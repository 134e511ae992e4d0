// Profile configuration: fills a profile object from a connect request with a new
// tunnel-provider protocol (server address, flags, the provider configuration that the
// packet-tunnel extension reads), a name, the enabled flag and its application rules. Changes
// only the object in memory, on the thread of the connect chain's last completion.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/errors.h"
#include "payloads/requests.h"
#include "platform/network_extension.h"

namespace kelo::tunnel {

// Where the rules of a per-app profile come from; asked only in per-app mode, after the
// protocol, name and enabled flag are set.
using AppRuleBuilder = std::function<Result<std::vector<NEAppRule>>()>;

// In full-tunnel mode the rules are set to the empty list and nothing can fail. In per-app
// mode a failure of `buildAppRules` is returned unchanged and the rules stay as they were.
Result<void> configure(NETunnelProviderManager& manager, const ConnectPayload& payload,
                       bool perAppMode, const AppRuleBuilder& buildAppRules);

// The server address in a peer endpoint: the text inside leading brackets, else the text
// before the last colon, else the whole trimmed text; nothing for a blank text or an
// unclosed bracket.
std::optional<std::string> endpointHost(std::string_view from);

}  // namespace kelo::tunnel
