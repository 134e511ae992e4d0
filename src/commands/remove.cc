#include "commands/commands.h"
#include "tunnel/on_demand_pause.h"
#include "tunnel/profile_store.h"
#include "tunnel/tunnel_control.h"

namespace kelo::commands {

namespace {

// How long the tunnels are given to go down before their profiles are removed all the same:
// the system takes down what it removes.
constexpr std::chrono::duration<double> kStopLimit{5.0};

}  // namespace

Result<StatusPayload> remove(tunnel::Deadline deadline) {
  const auto loaded = tunnel::loadAllManagers(deadline);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  // On-demand goes off first, so that the system cannot bring a tunnel back while the next
  // steps run, or after a run that is cut short.
  for (const auto& manager : *loaded) {
    if (manager->onDemandEnabled || tunnel::onDemandPaused(*manager)) {
      manager->onDemandEnabled = false;
      tunnel::forgetPause(*manager);
      if (const auto saved = tunnel::save(manager, deadline); !saved) {
        return std::unexpected(saved.error());
      }
    }
  }
  if (auto stopped = tunnel::stopAll(*loaded, deadline, kStopLimit); !stopped) {
    return std::unexpected(stopped.error());
  }
  if (auto removed = tunnel::removeManagers(*loaded, deadline, Step::remove); !removed) {
    return std::unexpected(removed.error());
  }
  return StatusPayload::notConfigured();
}

}  // namespace kelo::commands
