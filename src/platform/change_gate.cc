#include "platform/change_gate.h"

#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>

namespace kelo::changes {

namespace {

std::atomic<bool> closed{false};
std::atomic<bool> begun{false};
std::atomic<int> ending{0};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler reads them");

// The scratch file's path, valid while `scratchNoted` is true.
std::array<char, 4096> scratchPath{};
std::atomic<bool> scratchNoted{false};

}  // namespace

bool apply(const std::function<void()>& change) {
  if (closed.load() || ending.load() != 0) {
    return false;
  }
  begun.store(true);
  // Asked for between the look above and the mark: the change is not made.
  if (ending.load() != 0) {
    return false;
  }
  change();
  return true;
}

bool close() {
  return !closed.exchange(true);
}

bool hasBegun() {
  return begun.load();
}

void requestEnding(int signal) {
  int none = 0;
  ending.compare_exchange_strong(none, signal);
}

int requestedEnding() {
  return ending.load();
}

void noteScratchFile(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length >= scratchPath.size()) {
    return;
  }
  std::memcpy(scratchPath.data(), path, length + 1);
  scratchNoted.store(true);
}

void forgetScratchFile() {
  scratchNoted.store(false);
}

void removeScratchFile() {
  if (scratchNoted.exchange(false)) {
    unlink(scratchPath.data());
  }
}

}  // namespace kelo::changes
