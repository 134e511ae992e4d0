// The command table: the four command words, the request each reads from standard input, and
// the operation each runs. Used by the driver, once per process, after it has set the process
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

// Compares the command word (argument 1) with the table, reads and decodes the request where
// the command takes one (before any platform work), and runs the command in `surroundings`.
// "connect", "disconnect" and "update-app-rules" hold the profile store's lock from the
// decoded request to their last step.
Result<StatusPayload> runCommand(std::span<const std::string> arguments,
                                 const Surroundings& surroundings);

}  // namespace kelo
