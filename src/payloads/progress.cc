#include "payloads/progress.h"

#include <atomic>

namespace kelo::progress {

namespace {

std::atomic<Step> step{Step::none};
static_assert(std::atomic<Step>::is_always_lock_free, "a signal handler reads it");

}  // namespace

void enter(Step where) {
  step.store(where);
}

Step current() {
  return step.load();
}

}  // namespace kelo::progress
