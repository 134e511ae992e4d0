#include <algorithm>

#include "commands/commands.h"
#include "tunnel/status_wait.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

namespace {

// What a wait leaves of the run's 15 seconds, whatever it was asked for: time to read what is
// reported and write the answer.
constexpr std::chrono::duration<double> kAnswerTime{1.0};

}  // namespace

Result<StatusPayload> wait(const WaitPayload& payload, tunnel::Deadline deadline,
                           Protocol protocol) {
  using runloop::Clock;
  const auto end =
      std::min(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(payload.timeoutSeconds)),
               deadline - std::chrono::duration_cast<Clock::duration>(kAnswerTime));
  const auto watched = tunnel::awaitStatus(payload.until, end, deadline);
  if (!watched) {
    return std::unexpected(watched.error());
  }
  if (!*watched) {
    return StatusPayload::notConfigured();
  }
  const NETunnelProviderManager& first = **watched;
  return tunnel::reported(tunnel::statusPayload(first), first, deadline, protocol);
}

}  // namespace kelo::commands
