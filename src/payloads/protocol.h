// Which documents a caller asked for: protocol 1 by default, protocol 2 with `--protocol=2`
// after the command word. Protocol 1's documents never change; protocol 2's may gain members
// (a caller ignores those it does not know), and none is removed or changes meaning.
#pragma once

namespace kelo {

enum class Protocol { one = 1, two = 2 };

}  // namespace kelo
