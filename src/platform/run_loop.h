// The main run loop: work posted from any thread runs on the main thread while it turns the
// loop. The platform delivers its completions there; the bounded wait turns it, one turn at a
// time, on the main thread.
#pragma once

#include <chrono>
#include <functional>

namespace kelo::runloop {

// The clock of every deadline in the tool: monotonic, so a change of the wall clock neither
// cuts a request short nor stretches it.
using Clock = std::chrono::steady_clock;

// Any thread. The work runs during a later turn on the main thread, never inside this call.
void post(std::function<void()> work);

// Any thread. Asks the turn under way to end early, even when there is no work. Where no turn
// is under way the request may be lost (the Apple run loop does not carry it to the next turn),
// so a waiter looks at what it waits for before every turn and turns in short slices.
void wakeUp();

// Main thread. One turn: runs the work pending now; when there is none, waits until work is
// posted, wakeUp is called or `limit` passes, and runs what arrived.
void runOnce(Clock::time_point limit);

}  // namespace kelo::runloop
