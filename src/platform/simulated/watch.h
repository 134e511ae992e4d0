// How the simulated platform notices what its notifications announce: a helper thread that
// looks at the preferences file whenever its folder changes (or, where the system cannot say,
// every few milliseconds), or at the moment a connection settles, and posts the observer's
// handler to the main run loop when it sees a change. Between looks it sleeps, so a waiting
// run costs next to nothing. Created and destroyed on the main thread; the helper thread blocks
// every signal.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/network_extension.h"
#include "platform/run_loop.h"

namespace kelo::simulator {

// Each is null when no thread can be started for it.

// Posts `handler` each time the file at `path` changes: it is created, written, replaced or
// removed, by this process or another.
std::unique_ptr<NEVPNObserver> watchFile(const std::string& path, NEVPNNotificationHandler handler);

// Posts `handler` once for each of `moments` as the wall clock reaches it, in seconds since the
// epoch (the clock the simulator's times are written in); for those already past, once at once.
std::unique_ptr<NEVPNObserver> watchMoments(std::vector<double> moments,
                                            NEVPNNotificationHandler handler);

}  // namespace kelo::simulator
