#include "platform/delayed_work.h"

#include <exception>
#include <thread>

namespace kelo {

void runAfter(std::chrono::duration<double> delay, std::function<void()> work) {
  // One short-lived thread per delayed step: a request schedules at most one at a time.
  std::thread([delay, work = std::move(work)] {
    std::this_thread::sleep_for(delay);
    try {
      work();
    } catch (const std::exception&) {
      // Nothing escapes a background thread: the request then ends in the time-out.
    }
  }).detach();
}

}  // namespace kelo
