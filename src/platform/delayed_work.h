// Delayed work on a background thread of default priority: the restart delay of a running
// tunnel. Called from any thread; the work runs once, on a thread that is not the caller's.
#pragma once

#include <chrono>
#include <functional>

namespace kelo {

void runAfter(std::chrono::duration<double> delay, std::function<void()> work);

}  // namespace kelo
