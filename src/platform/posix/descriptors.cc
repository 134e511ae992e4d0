#include "platform/descriptors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace kelo {

namespace {

constexpr std::size_t kChunk = 65536;
constexpr std::size_t kLeastRoom = 4096;

// Waits until a descriptor that does not block can take or give bytes again.
bool waitUntilReady(int descriptor, short events) {
  pollfd ready{descriptor, events, 0};
  while (poll(&ready, 1, -1) < 0) {
    if (errno != EINTR) {
      return false;
    }
  }
  return true;
}

bool wouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

void openClosedStandardStreams() {
  for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) < 0 && errno == EBADF) {
      // The lowest free descriptor: this one, since those below it are open by now.
      (void)open("/dev/null", O_RDONLY);
    }
  }
}

bool writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = write(descriptor, bytes.data(), bytes.size());
    if (count < 0 && (errno == EINTR || (wouldBlock() && waitUntilReady(descriptor, POLLOUT)))) {
      continue;
    }
    if (count <= 0) {
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

bool readToEnd(int descriptor, std::string& into, std::size_t limit) {
  // Read straight into the text: a caller may start with a small stack. Each read waits in
  // poll first, where a stop signal is taken at once even by a runtime that defers signals
  // during a plain read (ThreadSanitizer's).
  while (into.size() <= limit) {
    if (!waitUntilReady(descriptor, POLLIN)) {
      return false;
    }
    // Into the room the text has already where that is enough, so that the read that finds the
    // end grows nothing: a larger allocation would be a mapping of its own, made and unmade.
    const std::size_t had = into.size();
    const std::size_t room = into.capacity() - had;
    const std::size_t chunk = room >= kLeastRoom ? room : kChunk;
    // The room is not cleared first: the read writes what the text keeps, and pages it does
    // not reach are never touched.
    ssize_t count = -1;
    into.resize_and_overwrite(had + chunk, [&](char* text, std::size_t) {
      count = read(descriptor, text + had, chunk);
      return had + static_cast<std::size_t>(count > 0 ? count : 0);
    });
    if (count > 0) {
      continue;
    }
    if (count == 0) {
      return true;
    }
    if (errno != EINTR && !(wouldBlock() && waitUntilReady(descriptor, POLLIN))) {
      return false;
    }
  }
  return true;
}

}  // namespace kelo
