#include "platform/change_gate.h"

#include <mutex>
#include <shared_mutex>

namespace kelo::changes {

namespace {

struct Gate {
  std::shared_mutex mutex;
  bool closed = false;
};

// Lives as long as the process: a background thread may still knock while the process ends.
Gate& gate() {
  static Gate* const instance = new Gate;
  return *instance;
}

}  // namespace

bool apply(const std::function<void()>& change) {
  std::shared_lock lock(gate().mutex);
  if (gate().closed) {
    return false;
  }
  change();
  return true;
}

void close() {
  std::unique_lock lock(gate().mutex);
  gate().closed = true;
}

}  // namespace kelo::changes
