#include "tunnel/profile_store.h"

#include "payloads/progress.h"

namespace kelo::tunnel {

namespace {

using Completed = std::expected<void, PlatformError>;

std::unexpected<Error> platformFailure(const char* prefix, const PlatformError& error, Step step) {
  ManagerError failure =
      ManagerError::networkExtension(prefix + error.localizedDescription).at(step);
  failure.cause = error.cause;
  return std::unexpected(Error{std::move(failure)});
}

bool isToolProfile(const NETunnelProviderManager& manager) {
  const auto* protocol =
      dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  return protocol != nullptr && protocol->providerBundleIdentifier == kProviderBundleIdentifier;
}

// A request of `step` that completes with nothing but success or a platform error.
Result<void> awaitChange(const char* prefix, Step step, Deadline deadline,
                         const Request<Completed>& request) {
  progress::enter(step);
  const auto completed = awaitResult<Completed>(deadline, request);
  if (!completed) {
    return std::unexpected(inStep(completed.error(), step));
  }
  if (!*completed) {
    return platformFailure(prefix, completed->error(), step);
  }
  return {};
}

}  // namespace

Result<std::vector<ManagerPointer>> loadAllManagers(Deadline deadline) {
  using Loaded = std::expected<std::vector<ManagerPointer>, PlatformError>;
  progress::enter(Step::load);
  auto loaded = awaitResult<Loaded>(deadline, &NETunnelProviderManager::loadAllFromPreferences);
  if (!loaded) {
    return std::unexpected(inStep(loaded.error(), Step::load));
  }
  if (!*loaded) {
    return platformFailure("Failed to load packet tunnel preferences: ", loaded->error(),
                           Step::load);
  }
  std::vector<ManagerPointer> tools;
  for (auto& manager : **loaded) {
    if (isToolProfile(*manager)) {
      tools.push_back(std::move(manager));
    }
  }
  return tools;
}

Result<void> removeManagers(const std::vector<ManagerPointer>& managers, Deadline deadline,
                            Step step) {
  const char* prefix = step == Step::remove ? "Failed to remove packet tunnel preferences: "
                                            : "Failed to remove stale tunnel preferences: ";
  for (const auto& manager : managers) {
    if (auto removed = awaitChange(
            prefix, step, deadline,
            [&](auto completion) { manager->removeFromPreferences(std::move(completion)); });
        !removed) {
      return removed;
    }
  }
  return {};
}

Result<ManagerPointer> save(const ManagerPointer& manager, Deadline deadline) {
  if (auto saved =
          awaitChange("Failed to save packet tunnel preferences: ", Step::save, deadline,
                      [&](auto completion) { manager->saveToPreferences(std::move(completion)); });
      !saved) {
    return std::unexpected(saved.error());
  }
  if (auto reloaded = awaitChange(
          "Failed to reload packet tunnel preferences: ", Step::reload, deadline,
          [&](auto completion) { manager->loadFromPreferences(std::move(completion)); });
      !reloaded) {
    return std::unexpected(reloaded.error());
  }
  return manager;
}

}  // namespace kelo::tunnel
