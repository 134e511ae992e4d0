// The operations behind the four command words, one file each. Each is a chain of platform
// requests: entered on the main thread under the bounded wait, every later step runs inside
// the completion of the request before it, and the completion is called exactly once, from
// whatever thread the last step ran on.
#pragma once

#include "apprules/rule_building.h"
#include "payloads/errors.h"
#include "payloads/requests.h"
#include "payloads/status_payload.h"

namespace kelo::commands {

// "connect": leaves exactly one tool profile of the requested kind, filled from the request,
// saved and started.
void connect(ConnectPayload payload, Completion<StatusPayload> completion,
             apprules::AppRuleSources sources = apprules::AppRuleSources::system());

// "disconnect": stops the first tool profile's tunnel and reports it; removes nothing.
void disconnect(Completion<StatusPayload> completion);

// "status": reports the first tool profile, or that there is none.
void status(Completion<StatusPayload> completion);

// "update-app-rules": recomputes the rules of the first per-app profile, saves it and restarts
// its tunnel if it is up.
void updateAppRules(AppRulePayload payload, Completion<StatusPayload> completion,
                    apprules::AppRuleSources sources = apprules::AppRuleSources::system());

}  // namespace kelo::commands
