#include "tunnel/profile_store.h"

namespace kelo::tunnel {

namespace {

using Completed = std::expected<void, PlatformError>;

std::unexpected<Error> platformFailure(const char* prefix, const PlatformError& error) {
  return std::unexpected(
      Error{ManagerError::networkExtension(prefix + error.localizedDescription)});
}

bool isToolProfile(const NETunnelProviderManager& manager) {
  const auto* protocol =
      dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  return protocol != nullptr && protocol->providerBundleIdentifier == kProviderBundleIdentifier;
}

// A request that completes with nothing but success or a platform error.
Result<void> awaitChange(const char* prefix, Deadline deadline, const Request<Completed>& request) {
  const auto completed = awaitResult<Completed>(deadline, request);
  if (!completed) {
    return std::unexpected(completed.error());
  }
  if (!*completed) {
    return platformFailure(prefix, completed->error());
  }
  return {};
}

}  // namespace

Result<std::vector<ManagerPointer>> loadAllManagers(Deadline deadline) {
  using Loaded = std::expected<std::vector<ManagerPointer>, PlatformError>;
  auto loaded = awaitResult<Loaded>(deadline, &NETunnelProviderManager::loadAllFromPreferences);
  if (!loaded) {
    return std::unexpected(loaded.error());
  }
  if (!*loaded) {
    return platformFailure("Failed to load packet tunnel preferences: ", loaded->error());
  }
  std::vector<ManagerPointer> tools;
  for (auto& manager : **loaded) {
    if (isToolProfile(*manager)) {
      tools.push_back(std::move(manager));
    }
  }
  return tools;
}

Result<void> removeManagers(const std::vector<ManagerPointer>& managers, Deadline deadline) {
  for (const auto& manager : managers) {
    if (auto removed = awaitChange(
            "Failed to remove stale tunnel preferences: ", deadline,
            [&](auto completion) { manager->removeFromPreferences(std::move(completion)); });
        !removed) {
      return removed;
    }
  }
  return {};
}

Result<ManagerPointer> save(const ManagerPointer& manager, Deadline deadline) {
  if (auto saved =
          awaitChange("Failed to save packet tunnel preferences: ", deadline,
                      [&](auto completion) { manager->saveToPreferences(std::move(completion)); });
      !saved) {
    return std::unexpected(saved.error());
  }
  if (auto reloaded = awaitChange(
          "Failed to reload packet tunnel preferences: ", deadline,
          [&](auto completion) { manager->loadFromPreferences(std::move(completion)); });
      !reloaded) {
    return std::unexpected(reloaded.error());
  }
  return manager;
}

}  // namespace kelo::tunnel
