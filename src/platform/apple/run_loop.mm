// The main run loop on macOS is the real one: the framework delivers its completion handlers
// to the main queue, which runs only while the main thread turns its run loop.
#include "platform/run_loop.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <algorithm>

namespace kelo::runloop {

void post(std::function<void()> work) {
  dispatch_async(dispatch_get_main_queue(), ^{
    work();
  });
}

// A wake-up alone does not end a turn of the CoreFoundation run loop; a stop does. A stop asked
// for while no turn runs is lost, not carried to the next turn: that is harmless here, since
// the waiting loop looks at its result before each turn, and a completion posted to the main
// queue ends the turn that services it (see runOnce).
void wakeUp() {
  CFRunLoopStop(CFRunLoopGetMain());
}

void runOnce(Clock::time_point limit) {
  const double seconds = std::max(0.0, std::chrono::duration<double>(limit - Clock::now()).count());
  // Servicing the main queue counts as a handled source, so one posted completion ends the turn.
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, seconds, true);
}

}  // namespace kelo::runloop
