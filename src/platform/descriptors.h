// Whole reads and writes on file descriptors, carried on across interruptions and partial
// transfers. Used by the driver (standard streams), the simulated platform (its file) and
// child processes (their pipes); any thread.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace kelo {

// False when the descriptor stopped taking bytes before all of them were written.
bool writeAll(int descriptor, std::string_view bytes);

// Appends what the descriptor yields until end of file, or until `into` holds more than
// `limit` bytes. False on a read error.
bool readToEnd(int descriptor, std::string& into,
               std::size_t limit = std::numeric_limits<std::size_t>::max());

// Reads two descriptors at the same time until both reach end of file, so that a writer of
// either can never stall on a full pipe.
void readBothToEnd(int first, std::string& firstInto, int second, std::string& secondInto);

}  // namespace kelo
