// The standard streams and whole reads and writes on file descriptors, carried on across
// interruptions, partial transfers and descriptors that do not block. Used by the driver
// (standard streams) and the simulated platform (its file); main thread.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace kelo {

// Opens each of descriptors 0, 1 and 2 that is closed onto /dev/null, read-only, so that no
// descriptor the tool opens later can become a standard stream. Standard input then reads as
// empty, and a write to a closed standard output or error fails as it did before. Call before
// the tool opens anything.
void openClosedStandardStreams();

// False when the descriptor stopped taking bytes before all of them were written.
bool writeAll(int descriptor, std::string_view bytes);

// Appends what the descriptor yields until end of file, or until `into` holds more than
// `limit` bytes. False on a read error.
bool readToEnd(int descriptor, std::string& into,
               std::size_t limit = std::numeric_limits<std::size_t>::max());

}  // namespace kelo
