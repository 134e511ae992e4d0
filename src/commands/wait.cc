#include <algorithm>

#include "commands/commands.h"
#include "tunnel/status_wait.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

Result<StatusPayload> wait(const WaitPayload& payload, tunnel::Deadline deadline,
                           Protocol protocol) {
  using runloop::Clock;
  // Whatever it was asked for, a wait leaves the run time to read what is reported and answer.
  const auto end =
      std::min(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                  std::chrono::duration<double>(payload.timeoutSeconds)),
               deadline - tunnel::kAnswerRoom);
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
