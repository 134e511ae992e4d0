// The NetworkExtension declarations on Apple's framework: the operations on the stored
// profiles. What the tool changed in a C++ profile object is carried onto the framework's
// object before every save, and everything is read back after every load
// (platform/apple/profile_mapping.h). Completion handlers reach the tool on the main run loop,
// like the framework's own.
//
// The C++ declarations use the framework's names inside namespace kelo, so everything that
// speaks to the framework lives at global scope below, where those names are the framework's.
#include "platform/network_extension.h"

#include "platform/apple/profile_mapping.h"
#include "platform/change_gate.h"
#include "platform/store_lock.h"

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>
#include <unistd.h>

#include <array>
#include <string>

namespace {

using CppManager = kelo::NETunnelProviderManager;
using kelo::apple::endedError;
using kelo::apple::frameworkObject;
using kelo::apple::platformError;
using kelo::apple::readBack;
using kelo::apple::toolConnection;
using kelo::apple::toolManager;

// Continues on the main run loop, where the bounded wait turns: the framework documents the
// main thread for most completion handlers, and none for loading all profiles.
void onMainRunLoop(dispatch_block_t block) {
  dispatch_async(dispatch_get_main_queue(), block);
}

// Runs a change of the stored preferences through the change gate; a refused one completes
// with an error on the main run loop.
void gatedChange(const CppManager::CompletionHandler& completionHandler,
                 const std::function<void()>& change) {
  if (!kelo::changes::apply(change)) {
    onMainRunLoop(^{
      completionHandler(std::unexpected(endedError()));
    });
  }
}

void deliverOutcome(CppManager* manager, NSError* _Nullable error, const char* fallback,
                    const CppManager::CompletionHandler& completionHandler, bool reload) {
  if (error != nil) {
    completionHandler(std::unexpected(platformError(error, fallback)));
    return;
  }
  if (reload) {
    readBack(*manager);
  } else {
    manager->replaceConnection(toolConnection(frameworkObject(*manager).connection));
  }
  completionHandler({});
}

}  // namespace

std::unique_ptr<kelo::NEVPNObserver> kelo::observeConfigurationChange(
    NEVPNNotificationHandler handler) {
  return kelo::apple::observe(NEVPNConfigurationChangeNotification, nil, std::move(handler));
}

void kelo::NETunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completionHandler) {
  [::NETunnelProviderManager
      loadAllFromPreferencesWithCompletionHandler:^(
          NSArray<::NETunnelProviderManager*>* _Nullable managers, NSError* _Nullable error) {
        onMainRunLoop(^{
          if (error != nil) {
            completionHandler(
                std::unexpected(platformError(error, "The VPN preferences could not be loaded.")));
            return;
          }
          std::vector<Pointer> loaded;
          for (NSUInteger index = 0; managers != nil && index < managers.count; ++index) {
            loaded.push_back(toolManager([managers objectAtIndex:index]));
          }
          completionHandler(std::move(loaded));
        });
      }];
}

auto kelo::NETunnelProviderManager::init() -> Pointer {
  return toolManager([[::NETunnelProviderManager alloc] init]);
}

auto kelo::NETunnelProviderManager::forPerAppVPN() -> Pointer {
  return toolManager([::NETunnelProviderManager forPerAppVPN]);
}

void kelo::NETunnelProviderManager::saveToPreferences(CompletionHandler completionHandler) {
  ::NETunnelProviderManager* object = frameworkObject(*this);
  if (auto carried = kelo::apple::carryOnto(object, *this); !carried) {
    onMainRunLoop(^{
      completionHandler(std::unexpected(carried.error()));
    });
    return;
  }
  CppManager* manager = this;  // held by the caller until its completion has run
  gatedChange(completionHandler, [&] {
    [object saveToPreferencesWithCompletionHandler:^(NSError* _Nullable error) {
      onMainRunLoop(^{
        deliverOutcome(manager, error, "The VPN configuration could not be saved.",
                       completionHandler, false);
      });
    }];
  });
}

void kelo::NETunnelProviderManager::loadFromPreferences(CompletionHandler completionHandler) {
  CppManager* manager = this;
  [frameworkObject(*this) loadFromPreferencesWithCompletionHandler:^(NSError* _Nullable error) {
    onMainRunLoop(^{
      deliverOutcome(manager, error, "The VPN configuration could not be loaded.",
                     completionHandler, true);
    });
  }];
}

void kelo::NETunnelProviderManager::removeFromPreferences(CompletionHandler completionHandler) {
  CppManager* manager = this;
  gatedChange(completionHandler, [&] {
    [frameworkObject(*manager)
        removeFromPreferencesWithCompletionHandler:^(NSError* _Nullable error) {
          onMainRunLoop(^{
            deliverOutcome(manager, error, "The VPN configuration could not be removed.",
                           completionHandler, false);
          });
        }];
  });
}

// The system's VPN preferences are the user's one store; its lock lives in the per-user
// temporary folder, which the system makes private to the user.
// The user's temporary folder is always there: nothing is created.
std::expected<std::optional<std::string>, kelo::PlatformError> kelo::profileStoreFolder(bool) {
  std::array<char, 1024> folder{};
  const std::size_t length = confstr(_CS_DARWIN_USER_TEMP_DIR, folder.data(), folder.size());
  if (length == 0 || length > folder.size()) {
    return std::unexpected(kelo::PlatformError{"the user's temporary folder is unknown."});
  }
  std::string path(folder.data());
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}
