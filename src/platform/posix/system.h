// What the POSIX services need from the operating system beyond POSIX: pipes that are never
// inherited, a child that inherits no descriptor but its standard streams and ends with the tool,
// word of a child's exit that does not reap it, and the user database. One file per system
// implements it (system_linux.cc, system_darwin.cc); only the files of platform/posix use it, on
// any thread.
#pragma once

#include <sys/types.h>

#include <array>
#include <expected>
#include <optional>
#include <string>

namespace kelo::posix {

// Both ends are closed on exec from the moment they exist, so a child started by another
// thread at the same time cannot inherit them. False, with errno set, on failure.
bool openPipe(std::array<int, 2>& ends);

// Starts `program` with `arguments` (argument 0 included, ending with a null pointer) and the
// process's environment, as the leader of a new process group, its standard output and error
// on `output` and `error`, standard input inherited, and no other descriptor. It starts with no
// signal blocked, SIGPIPE and SIGXFSZ at their defaults and every other signal as the caller
// of the tool left it. Where the system allows, it is killed when the thread that started it
// ends (and so when the tool ends in any way). Call with every signal blocked; returns once
// the program runs, or fails with an errno value.
std::expected<pid_t, int> spawn(const char* program, char* const arguments[], int output,
                                int error);

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

// Makes the tool the reaper of what its children leave behind, where the system allows it
// (Linux: the child subreaper): a process orphaned inside a child's process group is then the
// tool's to reap at once, not an init's that may reap late or never, while it still counts
// against the user's process limit. Elsewhere the system reaps orphans itself. Any thread.
void adoptOrphans();

// How many processes the current user runs now, counted as the process limit counts them
// (Linux: every thread), or nothing when that cannot be read. Any thread.
std::optional<long> userProcessCount();

// The home directory that the user database gives the current user, if any.
std::optional<std::string> userDatabaseHome();

}  // namespace kelo::posix
