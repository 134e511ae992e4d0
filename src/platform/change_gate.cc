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
std::atomic<bool> repairing{false};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "a signal handler reads them");

// A noted path, valid while `noted` is true.
struct NotedPath {
  std::array<char, 4096> path{};
  std::atomic<bool> noted{false};

  void note(const char* text) {
    const std::size_t length = std::strlen(text);
    if (length >= path.size()) {
      return;
    }
    std::memcpy(path.data(), text, length + 1);
    noted.store(true);
  }
  void remove() {
    if (noted.exchange(false)) {
      unlink(path.data());
    }
  }
};

NotedPath scratchFile;
NotedPath heldLock;

}  // namespace

bool mustStop() {
  return ending.load() != 0 && !repairing.load();
}

Repair::Repair() {
  repairing.store(true);
}

Repair::~Repair() {
  repairing.store(false);
}

bool apply(const std::function<void()>& change) {
  if (closed.load() || mustStop()) {
    return false;
  }
  begun.store(true);
  // Asked for between the look above and the mark: the change is not made.
  if (mustStop()) {
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
  scratchFile.note(path);
}

void forgetScratchFile() {
  scratchFile.noted.store(false);
}

void noteHeldLock(const char* path) {
  heldLock.note(path);
}

void forgetHeldLock() {
  heldLock.noted.store(false);
}

void removeLeftovers() {
  scratchFile.remove();
  heldLock.remove();
}

}  // namespace kelo::changes
