// Delayed work on macOS: a block on the global queue of default priority, after the delay.
#include "platform/delayed_work.h"

#include <dispatch/dispatch.h>

#include <cstdint>

namespace kelo {

void runAfter(std::chrono::duration<double> delay, std::function<void()> work) {
  const auto nanoseconds = static_cast<std::int64_t>(delay.count() * NSEC_PER_SEC);
  dispatch_after(dispatch_time(DISPATCH_TIME_NOW, nanoseconds),
                 dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), ^{
                   work();
                 });
}

}  // namespace kelo
