#include "tunnel/on_demand_pause.h"

namespace kelo::tunnel {

namespace {

ProviderConfiguration* configurationOf(const NETunnelProviderManager& manager) {
  auto* protocol = dynamic_cast<NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  if (protocol == nullptr || !protocol->providerConfiguration ||
      !protocol->providerConfiguration->is_object()) {
    return nullptr;
  }
  return &*protocol->providerConfiguration;
}

}  // namespace

void pauseOnDemand(NETunnelProviderManager& manager) {
  manager.onDemandEnabled = false;
  if (ProviderConfiguration* configuration = configurationOf(manager)) {
    (*configuration)[kOnDemandPausedKey] = 1;
  }
}

bool onDemandPaused(const NETunnelProviderManager& manager) {
  const ProviderConfiguration* configuration = configurationOf(manager);
  return configuration != nullptr && configuration->contains(kOnDemandPausedKey);
}

void forgetPause(NETunnelProviderManager& manager) {
  if (ProviderConfiguration* configuration = configurationOf(manager)) {
    configuration->erase(kOnDemandPausedKey);
  }
}

Result<void> settleLeftPaused(const std::vector<ManagerPointer>& managers, bool resume,
                              Deadline deadline) {
  for (const auto& manager : managers) {
    if (!onDemandPaused(*manager)) {
      continue;
    }
    forgetPause(*manager);
    manager->onDemandEnabled = manager->onDemandEnabled || resume;
    if (const auto saved = save(manager, deadline); !saved) {
      return std::unexpected(saved.error());
    }
  }
  return {};
}

}  // namespace kelo::tunnel
