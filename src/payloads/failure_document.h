// The failure documents, in both protocols: the one encoder of each, and the documents that the
// signal handlers write, rendered here at compile time so that writing one allocates nothing.
// Any thread; the documents of endings are async-signal-safe to look up.
//
// Protocol 1 is {"error": message}. Protocol 2 adds, after the message, what a caller sorts
// failures by: "code", "step" where one applies, "platformError" {"domain", "code"} where the
// platform gave them, and "signal" for a stop signal. Both escape every "/" as "\/".
#pragma once

#include <string>
#include <string_view>

#include "payloads/errors.h"
#include "payloads/protocol.h"

namespace kelo {

// The messages of the endings a run can be given: the deadline, and the stop signals.
inline constexpr char kTimedOutMessage[] =
    "Timed out waiting for Network Extension manager response.";

// The failure document of `error`. With `endedBy` (a stop signal, or SIGALRM for the deadline)
// the failure is that ending, in the error's step, followed by what its repair could not undo.
std::string failureDocument(const Error& error, Protocol protocol, int endedBy = 0);

// Protocol 1's document of a message.
std::string failureDocument(const std::string& message);

// The document that a stop signal, or the deadline (SIGALRM), ends a run with, in `step`, and
// the message alone. Async-signal-safe.
std::string_view endingDocument(Protocol protocol, int signal, Step step);
std::string_view endingMessage(int signal);

// The documents of a shortage of memory, of a run that cannot go on (an exception thrown while
// another unwound), and of a status document that its stream took nothing of before the run
// had to end by `signal`. Async-signal-safe.
std::string_view outOfMemoryDocument(Protocol protocol);
std::string_view abnormalEndDocument(Protocol protocol);
std::string_view notDeliveredDocument(Protocol protocol, int signal);

}  // namespace kelo
