// The operations behind the command words, one file each. Each reads top to bottom as the
// list of its steps: every step is a call that returns its result or its error, and the first
// error ends the command. Main thread.
#pragma once

#include <chrono>

#include "apprules/rule_building.h"
#include "payloads/errors.h"
#include "payloads/protocol.h"
#include "payloads/requests.h"
#include "payloads/status_payload.h"
#include "tunnel/bounded_wait.h"

namespace kelo::commands {

// What the commands that change a profile need besides their request.
struct Context {
  tunnel::Deadline deadline;                   // the run's end, 15 seconds from its start
  std::chrono::duration<double> restartDelay;  // between stopping a running tunnel and a look
  apprules::AppRuleSources sources;            // where per-app rules come from
  Protocol protocol = Protocol::one;           // what the answer carries
};

// "connect": leaves exactly one tool profile of the requested kind, filled from the request,
// saved and started.
Result<StatusPayload> connect(const ConnectPayload& payload, const Context& context);

// "disconnect": stops the first tool profile's tunnel and reports it; removes nothing.
Result<StatusPayload> disconnect(tunnel::Deadline deadline, Protocol protocol);

// "status": reports the first tool profile, or that there is none.
Result<StatusPayload> status(tunnel::Deadline deadline, Protocol protocol);

// "remove": takes the tool's profiles off the machine: on-demand off first, the tunnels
// stopped (given at most 5 seconds to go down), then each profile removed in turn. With none it
// answers the not-configured status at once.
Result<StatusPayload> remove(tunnel::Deadline deadline);

// "wait": reports the first tool profile as soon as its status reads one of the request's, or
// once its time is up; changes nothing.
Result<StatusPayload> wait(const WaitPayload& payload, tunnel::Deadline deadline,
                           Protocol protocol);

// "update-app-rules": recomputes the rules of the first per-app profile, saves it and restarts
// its tunnel if it is up.
Result<StatusPayload> updateAppRules(const AppRulePayload& payload, const Context& context);

// "export": the configuration profile that device management installs on every Mac, written
// from the request; per app, with the listed applications' identities. Reads and writes no
// profile, takes no lock, creates nothing, and inspects only the listed applications.
Result<ExportedProfile> exportProfile(const ExportPayload& payload, const Context& context);

}  // namespace kelo::commands
