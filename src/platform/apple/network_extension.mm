// The NetworkExtension declarations on Apple's framework. Each C++ profile object keeps the
// framework's NETunnelProviderManager in its backend state from load (or creation) to save:
// what the tool changed in the C++ object is carried onto the framework's object before every
// save, and everything is read back after every load. Completion handlers reach the tool on
// the main run loop, like the framework's own.
//
// The C++ declarations use the framework's names inside namespace kelo, so everything that
// speaks to the framework lives at global scope below, where those names are the framework's.
#include "platform/network_extension.h"

#include "platform/apple/value_conversion.h"
#include "platform/change_gate.h"
#include "platform/store_lock.h"

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>

#include <cstdint>
#include <string>

namespace {

using CppManager = kelo::NETunnelProviderManager;
using Json = kelo::ProviderConfiguration;
using kelo::apple::frameworkText;
using kelo::apple::optionalToolText;
using kelo::apple::toolText;

// The framework object behind a C++ profile object.
struct ManagerState {
  NETunnelProviderManager* object;
};

// A protocol as the framework returned it, and for a tunnel-provider protocol what the tool read
// of it: a save leaves the framework's object as it is unless the tool changed one of its
// fields, and then keeps whatever the tool does not write.
struct ProtocolState {
  NEVPNProtocol* object;
  kelo::NETunnelProviderProtocol read;
  std::vector<std::string> readKeys;  // the configuration entries the tool could read
};

// A protocol of another kind than tunnel-provider: the tool never looks into it.
class ForeignProtocol final : public kelo::NEVPNProtocol {};

kelo::PlatformError platformError(NSError* _Nullable error, const char* fallback) {
  if (NSString* description = error.localizedDescription) {
    return kelo::PlatformError{toolText(description)};
  }
  return kelo::PlatformError{fallback};
}

bool sameSettings(const kelo::NETunnelProviderProtocol& one,
                  const kelo::NETunnelProviderProtocol& other) {
  return one.providerBundleIdentifier == other.providerBundleIdentifier &&
         one.serverAddress == other.serverAddress &&
         one.providerConfiguration == other.providerConfiguration &&
         one.disconnectOnSleep == other.disconnectOnSleep &&
         one.includeAllNetworks == other.includeAllNetworks &&
         one.excludeLocalNetworks == other.excludeLocalNetworks;
}

std::shared_ptr<kelo::NEVPNProtocol> toolProtocol(NEVPNProtocol* _Nullable object) {
  if (object == nil) {
    return nullptr;
  }
  auto state = std::make_shared<ProtocolState>(ProtocolState{object, {}, {}});
  if (![object isKindOfClass:[NETunnelProviderProtocol class]]) {
    auto foreign = std::make_shared<ForeignProtocol>();
    foreign->backendState = std::move(state);
    return foreign;
  }
  NETunnelProviderProtocol* provider = (NETunnelProviderProtocol*)object;
  auto protocol = std::make_shared<kelo::NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier = optionalToolText(provider.providerBundleIdentifier);
  protocol->serverAddress = optionalToolText(provider.serverAddress);
  protocol->disconnectOnSleep = provider.disconnectOnSleep == YES;
  protocol->includeAllNetworks = provider.includeAllNetworks == YES;
  protocol->excludeLocalNetworks = provider.excludeLocalNetworks == YES;
  if (NSDictionary* configuration = provider.providerConfiguration) {
    // Entries under a key that is not a string, or with a value the tool has no form for, are
    // not read: they stay as the framework returned them.
    Json entries = Json::object();
    NSArray* keys = configuration.allKeys;
    for (NSUInteger index = 0; index < keys.count; ++index) {
      id key = [keys objectAtIndex:index];
      if (![key isKindOfClass:[NSString class]]) {
        continue;
      }
      if (auto value = kelo::apple::toolValue([configuration objectForKey:key])) {
        entries[toolText((NSString*)key)] = std::move(*value);
        state->readKeys.push_back(toolText((NSString*)key));
      }
    }
    protocol->providerConfiguration = std::move(entries);
  }
  state->read = *protocol;
  protocol->backendState = std::move(state);
  return protocol;
}

// The tool's configuration laid over what the framework returned: entries the tool could not
// read stay, entries it read and then dropped go. Fails on a value with no framework form.
std::expected<NSDictionary* _Nullable, kelo::PlatformError> frameworkConfiguration(
    const std::optional<Json>& configuration, NSDictionary* _Nullable loaded,
    const std::vector<std::string>& readKeys) {
  if (!configuration) {
    return nil;
  }
  NSMutableDictionary* merged =
      loaded != nil ? [loaded mutableCopy] : [NSMutableDictionary dictionaryWithCapacity:8];
  for (const auto& key : readKeys) {
    // A key the tool read was a string of the framework's, so it has a form there again.
    NSString* name = frameworkText(key);
    if (name != nil && !configuration->contains(key)) {
      [merged removeObjectForKey:name];
    }
  }
  for (const auto& [key, value] : configuration->items()) {
    NSString* name = frameworkText(key);
    id converted = kelo::apple::frameworkValue(value);
    if (name == nil || converted == nil) {
      return std::unexpected(kelo::PlatformError{"The provider configuration entry \"" + key +
                                                 "\" has no form the system can store."});
    }
    [merged setObject:converted forKey:name];
  }
  return merged;
}

// The framework's protocol for the C++ one: the loaded object itself when the tool changed
// nothing in it; otherwise a copy of it with the tool's fields, or a new object for a protocol
// the tool made.
std::expected<NEVPNProtocol* _Nullable, kelo::PlatformError> frameworkProtocol(
    const kelo::NEVPNProtocol* protocol) {
  if (protocol == nullptr) {
    return nil;
  }
  const auto* state = static_cast<const ProtocolState*>(protocol->backendState.get());
  const auto* provider = dynamic_cast<const kelo::NETunnelProviderProtocol*>(protocol);
  if (provider == nullptr || (state != nullptr && sameSettings(*provider, state->read))) {
    return state != nullptr ? state->object : nil;
  }
  NETunnelProviderProtocol* loaded = nil;
  if (state != nullptr && [state->object isKindOfClass:[NETunnelProviderProtocol class]]) {
    loaded = (NETunnelProviderProtocol*)state->object;
  }
  const auto configuration =
      frameworkConfiguration(provider->providerConfiguration, loaded.providerConfiguration,
                             state != nullptr ? state->readKeys : std::vector<std::string>{});
  if (!configuration) {
    return std::unexpected(configuration.error());
  }
  NETunnelProviderProtocol* object =
      loaded != nil ? [loaded copy] : [[NETunnelProviderProtocol alloc] init];
  object.providerBundleIdentifier =
      provider->providerBundleIdentifier ? frameworkText(*provider->providerBundleIdentifier) : nil;
  object.serverAddress = provider->serverAddress ? frameworkText(*provider->serverAddress) : nil;
  object.disconnectOnSleep = provider->disconnectOnSleep ? YES : NO;
  object.includeAllNetworks = provider->includeAllNetworks ? YES : NO;
  object.excludeLocalNetworks = provider->excludeLocalNetworks ? YES : NO;
  object.providerConfiguration = *configuration;
  return object;
}

// What a change asked for after the request's outcome was decided gets; nobody reads it.
kelo::PlatformError endedError() {
  return kelo::PlatformError{"The request has already ended."};
}

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

class FrameworkConnection final : public kelo::NEVPNConnection {
 public:
  explicit FrameworkConnection(::NEVPNConnection* connection) : connection_(connection) {}
  // An unknown code passes through unchanged.
  kelo::NEVPNStatus status() const override {
    return static_cast<kelo::NEVPNStatus>(connection_.status);
  }
  void stopVPNTunnel() override {
    kelo::changes::apply([this] { [connection_ stopVPNTunnel]; });
  }

 private:
  ::NEVPNConnection* connection_;  // the framework's, not the base class
};

class FrameworkSession final : public kelo::NETunnelProviderSession {
 public:
  explicit FrameworkSession(::NETunnelProviderSession* session) : session_(session) {}
  kelo::NEVPNStatus status() const override {
    return static_cast<kelo::NEVPNStatus>(session_.status);
  }
  void stopVPNTunnel() override {
    kelo::changes::apply([this] { [session_ stopVPNTunnel]; });
  }
  std::expected<void, kelo::PlatformError> startVPNTunnel() override {
    std::expected<void, kelo::PlatformError> started = std::unexpected(endedError());
    kelo::changes::apply([this, &started] {
      NSError* error = nil;
      if ([session_ startVPNTunnelAndReturnError:&error]) {
        started = {};
      } else {
        started = std::unexpected(platformError(error, "The VPN tunnel could not be started."));
      }
    });
    return started;
  }

 private:
  ::NETunnelProviderSession* session_;  // the framework's, not the base class
};

std::shared_ptr<kelo::NEVPNConnection> toolConnection(NEVPNConnection* connection) {
  if ([connection isKindOfClass:[NETunnelProviderSession class]]) {
    return std::make_shared<FrameworkSession>((NETunnelProviderSession*)connection);
  }
  return std::make_shared<FrameworkConnection>(connection);
}

NETunnelProviderManager* frameworkObject(const CppManager& manager) {
  return static_cast<const ManagerState*>(manager.backendState.get())->object;
}

void readBack(CppManager& manager) {
  NETunnelProviderManager* object = frameworkObject(manager);
  manager.localizedDescription = optionalToolText(object.localizedDescription);
  manager.enabled = object.enabled == YES;
  manager.protocolConfiguration = toolProtocol(object.protocolConfiguration);
  manager.appRules = kelo::apple::toolRules([object copyAppRules]);
  manager.replaceConnection(toolConnection(object.connection));
}

// Carries what the tool changed onto the framework's object; a field the tool left as it read
// it is not assigned again.
std::expected<void, kelo::PlatformError> carryOnto(NETunnelProviderManager* object,
                                                   const CppManager& manager) {
  const auto protocol = frameworkProtocol(manager.protocolConfiguration.get());
  if (!protocol) {
    return std::unexpected(protocol.error());
  }
  NSArray<NEAppRule*>* rules = nil;
  if (manager.appRules && manager.appRules != kelo::apple::toolRules([object copyAppRules])) {
    rules = kelo::apple::frameworkRules(*manager.appRules);
    if (rules == nil) {
      return std::unexpected(
          kelo::PlatformError{"An application rule has a text the system cannot store."});
    }
  }
  if (manager.localizedDescription != optionalToolText(object.localizedDescription)) {
    object.localizedDescription =
        manager.localizedDescription ? frameworkText(*manager.localizedDescription) : nil;
  }
  if (manager.enabled != (object.enabled == YES)) {
    object.enabled = manager.enabled ? YES : NO;
  }
  if (*protocol != object.protocolConfiguration) {
    object.protocolConfiguration = *protocol;
  }
  if (rules != nil) {
    object.appRules = rules;
  }
  return {};
}

// The framework names no identity of its own for a profile; the object's address serves the
// C++ side, which only the simulated platform reads.
CppManager::Pointer toolManager(NETunnelProviderManager* object) {
  const auto address = reinterpret_cast<std::uintptr_t>(object);
  auto manager = std::make_shared<CppManager>(std::to_string(address), [object copyAppRules] != nil,
                                              toolConnection(object.connection));
  manager->backendState = std::make_shared<ManagerState>(ManagerState{object});
  readBack(*manager);
  return manager;
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
  if (auto carried = carryOnto(object, *this); !carried) {
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

// The system's VPN preferences are the one store; the lock's folder is the user's own.
std::string kelo::profileStoreName() {
  return "NetworkExtension";
}
