#include "platform/descriptors.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace kelo {

namespace {

constexpr std::size_t kChunk = 65536;

// One read into `into`: the count, 0 at end of file, or -1 on an error other than EINTR.
ssize_t readOnce(int descriptor, std::string& into) {
  std::array<char, kChunk> buffer;
  for (;;) {
    const ssize_t count = read(descriptor, buffer.data(), buffer.size());
    if (count > 0) {
      into.append(buffer.data(), static_cast<std::size_t>(count));
    }
    if (count >= 0 || errno != EINTR) {
      return count;
    }
  }
}

}  // namespace

bool writeAll(int descriptor, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t count = write(descriptor, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) {
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
  while (into.size() <= limit) {
    const ssize_t count = readOnce(descriptor, into);
    if (count <= 0) {
      return count == 0;
    }
  }
  return true;
}

void readBothToEnd(int first, std::string& firstInto, int second, std::string& secondInto) {
  std::array<pollfd, 2> streams = {pollfd{first, POLLIN, 0}, pollfd{second, POLLIN, 0}};
  const std::array<std::string*, 2> texts = {&firstInto, &secondInto};
  int open = 2;
  while (open > 0) {
    if (poll(streams.data(), streams.size(), -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      return;
    }
    for (std::size_t index = 0; index < streams.size(); ++index) {
      if (streams[index].fd >= 0 && streams[index].revents != 0 &&
          readOnce(streams[index].fd, *texts[index]) <= 0) {
        streams[index].fd = -1;  // poll passes over negative descriptors
        --open;
      }
    }
  }
}

}  // namespace kelo
