// What the POSIX services need from the operating system beyond POSIX: pipes that are never
// inherited, a child that inherits no descriptor but its standard streams, word of a child's
// exit that does not reap it, and the user database. One file per system implements it
// (system_linux.cc, system_darwin.cc); only the files of platform/posix use it, on any thread.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <array>
#include <expected>
#include <optional>
#include <string>

namespace kelo::posix {

// Both ends are closed on exec from the moment they exist, so a child started by another
// thread at the same time cannot inherit them. False, with errno set, on failure.
bool openPipe(std::array<int, 2>& ends);

// Makes the child close every descriptor above standard error before it runs the program.
// `flags` are the spawn attributes' flags, which a system may need to extend.
void inheritOnlyStandardStreams(posix_spawn_file_actions_t& actions, short& flags);

// Word of a child's exit: `descriptor` becomes readable (poll) once the child has exited, and
// `exited` is already true when it had exited before the watch began. The child stays
// unreaped, so its process id cannot pass to another process while the tool may still signal
// it. The caller closes `descriptor`.
struct ExitWatch {
  int descriptor = -1;
  bool exited = false;
};

// Fails with an errno value.
std::expected<ExitWatch, int> watchExit(pid_t child);

// The home directory that the user database gives the current user, if any.
std::optional<std::string> userDatabaseHome();

}  // namespace kelo::posix
