#include "platform/change_gate.h"

#include <atomic>

namespace kelo::changes {

namespace {

std::atomic<bool> closed{false};
static_assert(std::atomic<bool>::is_always_lock_free, "a signal handler claims it");

}  // namespace

bool apply(const std::function<void()>& change) {
  if (closed.load()) {
    return false;
  }
  change();
  return true;
}

bool close() {
  return !closed.exchange(true);
}

}  // namespace kelo::changes
