// The command table: the command words, the request each reads from standard input, the
// operation each runs, and the options after the command word (`--protocol=N`). The only place
// that reads the arguments. Used by the driver, once per process, after it has set the process
// up; and by the whole-command fuzz target, which runs it again and again in one process.
// Main thread.
#pragma once

#include <functional>
#include <span>
#include <string>

#include "commands/commands.h"

namespace kelo {

// What the commands stand on: the run's deadline, and the context of the commands that build
// rules, made only for them (so that "status" spends nothing on application roots).
struct Surroundings {
  tunnel::Deadline deadline;
  std::function<commands::Context()> changeContext;
};

// The protocol the arguments after the command word ask for: 2 with "--protocol=2", else 1 (a
// protocol this tool does not know is answered as a tool that predates it would: in 1).
Protocol requestedProtocol(std::span<const std::string> arguments);

// Compares the command word (argument 1) with the table, reads and decodes the request where
// the command takes one (before any platform work), and runs the command in `surroundings`.
// "connect", "disconnect", "update-app-rules" and "remove" hold the profile store's lock from
// the decoded request to their last step; "wait" changes nothing and takes no lock. "version" (or
// "--version") reads and touches nothing. Under protocol 2 an option the tool does not know is a
// usage failure; under 1 it is ignored.
Result<Reply> runCommand(std::span<const std::string> arguments, const Surroundings& surroundings);

}  // namespace kelo
