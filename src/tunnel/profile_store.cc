#include "tunnel/profile_store.h"

namespace kelo::tunnel {

namespace {

std::unexpected<Error> platformFailure(const char* prefix, const PlatformError& error) {
  return std::unexpected(
      Error{ManagerError::networkExtension(prefix + error.localizedDescription)});
}

bool isToolProfile(const NETunnelProviderManager& manager) {
  const auto* protocol =
      dynamic_cast<const NETunnelProviderProtocol*>(manager.protocolConfiguration.get());
  return protocol != nullptr && protocol->providerBundleIdentifier == kProviderBundleIdentifier;
}

void removeFrom(std::shared_ptr<std::vector<ManagerPointer>> managers, std::size_t next,
                Completion<void> completion) {
  if (next == managers->size()) {
    completion({});
    return;
  }
  const ManagerPointer manager = (*managers)[next];
  manager->removeFromPreferences([managers, next,
                                  completion = std::move(completion)](auto removed) {
    if (!removed) {
      completion(platformFailure("Failed to remove stale tunnel preferences: ", removed.error()));
      return;
    }
    removeFrom(managers, next + 1, completion);
  });
}

}  // namespace

void loadAllManagers(Completion<std::vector<ManagerPointer>> completion) {
  NETunnelProviderManager::loadAllFromPreferences(
      [completion = std::move(completion)](auto loaded) {
        if (!loaded) {
          completion(platformFailure("Failed to load packet tunnel preferences: ", loaded.error()));
          return;
        }
        std::vector<ManagerPointer> tools;
        for (auto& manager : *loaded) {
          if (isToolProfile(*manager)) {
            tools.push_back(std::move(manager));
          }
        }
        completion(std::move(tools));
      });
}

void loadFirstManager(Completion<ManagerPointer> completion) {
  loadAllManagers([completion = std::move(completion)](auto managers) {
    if (!managers) {
      completion(std::unexpected(managers.error()));
      return;
    }
    completion(managers->empty() ? nullptr : managers->front());
  });
}

void removeManagers(std::vector<ManagerPointer> managers, Completion<void> completion) {
  removeFrom(std::make_shared<std::vector<ManagerPointer>>(std::move(managers)), 0,
             std::move(completion));
}

void save(ManagerPointer manager, Completion<ManagerPointer> completion) {
  manager->saveToPreferences([manager, completion = std::move(completion)](auto saved) {
    if (!saved) {
      completion(platformFailure("Failed to save packet tunnel preferences: ", saved.error()));
      return;
    }
    manager->loadFromPreferences([manager, completion](auto reloaded) {
      if (!reloaded) {
        completion(
            platformFailure("Failed to reload packet tunnel preferences: ", reloaded.error()));
        return;
      }
      completion(manager);
    });
  });
}

}  // namespace kelo::tunnel
