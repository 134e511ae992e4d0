// Waiting for a profile's status without asking the platform again and again: the tool's first
// profile is loaded once and watched through the platform's notifications. A configuration
// change (a profile saved, removed or edited, by any process) loads the profiles again; a
// status change of the watched connection reads its status again. Where the platform cannot
// notify, the profiles are loaded again every 20 ms instead. Main thread.
#pragma once

#include <span>

#include "payloads/errors.h"
#include "platform/network_extension.h"
#include "tunnel/bounded_wait.h"
#include "tunnel/profile_store.h"

namespace kelo::tunnel {

// Turns the main run loop until the first tool profile's status reads one of `until` (without a
// profile the status reads invalid), at once if it already does, or until `end` has passed.
// Returns that profile as it is then (at `end`, loaded once more), or null when there is none.
// Fails when the first load fails, or a later one still fails when the time is up (it is tried
// again meanwhile: the preferences may have been caught half-written), or with the time-out
// when a load does not answer by half a second past `end`, or the deadline comes first.
Result<ManagerPointer> awaitStatus(std::span<const NEVPNStatus> until,
                                   runloop::Clock::time_point end, Deadline deadline);

}  // namespace kelo::tunnel
