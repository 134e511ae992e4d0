// What starting a child needs from the operating system beyond POSIX: pipes that are never
// inherited, and a child that inherits no descriptor but its standard streams. One file per
// system implements it (spawn_linux.cc, spawn_darwin.cc); only child_process.cc uses it, on
// any thread.
#pragma once

#include <spawn.h>

#include <array>

namespace kelo::posix {

// Both ends are closed on exec from the moment they exist, so a child started by another
// thread at the same time cannot inherit them. False, with errno set, on failure.
bool openPipe(std::array<int, 2>& ends);

// Makes the child close every descriptor above standard error before it runs the program.
// `flags` are the spawn attributes' flags, which a system may need to extend.
void inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& flags);

}  // namespace kelo::posix
