// The NetworkExtension declarations on Apple's framework. Each C++ profile object keeps the
// framework's NETunnelProviderManager in its backend state from load (or creation) to save:
// what the tool wrote into the C++ object is carried onto the framework's object before every
// save and read back after every load. Completion handlers reach the tool on the main run
// loop, like the framework's own.
//
// The C++ declarations use the framework's names inside namespace kelo, so everything that
// speaks to the framework lives at global scope below, where those names are the framework's.
#include "platform/network_extension.h"

#include "platform/change_gate.h"

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <dispatch/dispatch.h>

#include <cstdint>
#include <string>

namespace {

using CppManager = kelo::NETunnelProviderManager;
using Json = kelo::ProviderConfiguration;

// The framework object behind a C++ profile object.
struct ManagerState {
  NETunnelProviderManager* object;
};

// A protocol as the framework returned it, so that a save keeps whatever the tool did not
// write; for a tunnel-provider protocol, also the configuration keys the tool could read.
struct ProtocolState {
  NEVPNProtocol* object;
  std::vector<std::string> readKeys;
};

// A protocol of another kind than tunnel-provider: the tool never looks into it.
class ForeignProtocol final : public kelo::NEVPNProtocol {};

std::string text(NSString* string) {
  const char* bytes = string.UTF8String;
  return bytes == nullptr ? std::string() : std::string(bytes);
}

std::optional<std::string> optionalText(NSString* _Nullable string) {
  if (string == nil) {
    return std::nullopt;
  }
  return text(string);
}

// Texts the tool hands on are valid UTF-8 (they come from JSON); anything else reads as nil.
NSString* _Nullable frameworkText(const std::string& value) {
  return [[NSString alloc] initWithBytes:value.data()
                                  length:value.size()
                                encoding:NSUTF8StringEncoding];
}

kelo::PlatformError platformError(NSError* _Nullable error, const char* fallback) {
  if (error == nil) {
    return kelo::PlatformError{fallback};
  }
  return kelo::PlatformError{text(error.localizedDescription)};
}

// Provider configuration values: texts as NSString, integers and booleans as NSNumber, and
// nested lists and dictionaries in kind. False when a value has no framework form.
bool frameworkValue(const Json& value, id _Nullable __strong& converted) {
  switch (value.type()) {
    case Json::value_t::string:
      converted = frameworkText(value.get<std::string>());
      return converted != nil;
    case Json::value_t::boolean:
      converted = [NSNumber numberWithBool:value.get<bool>() ? YES : NO];
      return true;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      converted = [NSNumber numberWithLongLong:value.get<long long>()];
      return true;
    case Json::value_t::number_float:
      converted = [NSNumber numberWithDouble:value.get<double>()];
      return true;
    case Json::value_t::null:
      converted = [NSNull null];
      return true;
    case Json::value_t::array: {
      NSMutableArray* list = [NSMutableArray arrayWithCapacity:value.size()];
      for (const auto& element : value) {
        id item = nil;
        if (!frameworkValue(element, item)) {
          return false;
        }
        [list addObject:item];
      }
      converted = list;
      return true;
    }
    case Json::value_t::object: {
      NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:value.size()];
      for (const auto& [key, element] : value.items()) {
        id item = nil;
        NSString* name = frameworkText(key);
        if (name == nil || !frameworkValue(element, item)) {
          return false;
        }
        [dictionary setObject:item forKey:name];
      }
      converted = dictionary;
      return true;
    }
    default:
      return false;
  }
}

// The reverse; false for a value the tool has no form for (data or dates, say).
bool toolValue(id value, Json& converted) {
  if ([value isKindOfClass:[NSString class]]) {
    converted = text((NSString*)value);
    return true;
  }
  if ([value isKindOfClass:[NSNumber class]]) {
    NSNumber* number = (NSNumber*)value;
    const auto* reference = (__bridge CFBooleanRef)number;
    if (reference == kCFBooleanTrue || reference == kCFBooleanFalse) {
      converted = number.boolValue == YES;
    } else if (CFNumberIsFloatType((__bridge CFNumberRef)number)) {
      converted = number.doubleValue;
    } else {
      converted = number.longLongValue;
    }
    return true;
  }
  if ([value isKindOfClass:[NSNull class]]) {
    converted = nullptr;
    return true;
  }
  if ([value isKindOfClass:[NSArray class]]) {
    NSArray* list = (NSArray*)value;
    converted = Json::array();
    for (NSUInteger index = 0; index < list.count; ++index) {
      Json element;
      if (!toolValue([list objectAtIndex:index], element)) {
        return false;
      }
      converted.push_back(std::move(element));
    }
    return true;
  }
  if ([value isKindOfClass:[NSDictionary class]]) {
    NSDictionary* dictionary = (NSDictionary*)value;
    NSArray* keys = dictionary.allKeys;
    converted = Json::object();
    for (NSUInteger index = 0; index < keys.count; ++index) {
      id key = [keys objectAtIndex:index];
      Json element;
      if (![key isKindOfClass:[NSString class]] ||
          !toolValue([dictionary objectForKey:key], element)) {
        return false;
      }
      converted[text((NSString*)key)] = std::move(element);
    }
    return true;
  }
  return false;
}

std::shared_ptr<kelo::NEVPNProtocol> toolProtocol(NEVPNProtocol* _Nullable object) {
  if (object == nil) {
    return nullptr;
  }
  auto state = std::make_shared<ProtocolState>(ProtocolState{object, {}});
  if (![object isKindOfClass:[NETunnelProviderProtocol class]]) {
    auto foreign = std::make_shared<ForeignProtocol>();
    foreign->backendState = std::move(state);
    return foreign;
  }
  NETunnelProviderProtocol* provider = (NETunnelProviderProtocol*)object;
  auto protocol = std::make_shared<kelo::NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier = optionalText(provider.providerBundleIdentifier);
  protocol->serverAddress = optionalText(provider.serverAddress);
  protocol->disconnectOnSleep = provider.disconnectOnSleep == YES;
  protocol->includeAllNetworks = provider.includeAllNetworks == YES;
  protocol->excludeLocalNetworks = provider.excludeLocalNetworks == YES;
  if (NSDictionary<NSString*, id>* configuration = provider.providerConfiguration) {
    Json entries = Json::object();
    NSArray<NSString*>* keys = configuration.allKeys;
    for (NSUInteger index = 0; index < keys.count; ++index) {
      NSString* key = [keys objectAtIndex:index];
      Json value;
      if (toolValue([configuration objectForKey:key], value)) {
        entries[text(key)] = std::move(value);
        state->readKeys.push_back(text(key));
      }
    }
    protocol->providerConfiguration = std::move(entries);
  }
  protocol->backendState = std::move(state);
  return protocol;
}

// The tool's configuration laid over what the framework returned: entries the tool could not
// read stay, entries it read and then dropped go.
NSDictionary<NSString*, id>* _Nullable frameworkConfiguration(
    const std::optional<Json>& configuration, NSDictionary<NSString*, id>* _Nullable loaded,
    const std::vector<std::string>& readKeys) {
  if (!configuration) {
    return nil;
  }
  NSMutableDictionary<NSString*, id>* merged =
      loaded != nil ? [loaded mutableCopy] : [NSMutableDictionary dictionaryWithCapacity:8];
  for (const auto& key : readKeys) {
    if (!configuration->contains(key)) {
      if (NSString* name = frameworkText(key)) {
        [merged removeObjectForKey:name];
      }
    }
  }
  for (const auto& [key, value] : configuration->items()) {
    id converted = nil;
    NSString* name = frameworkText(key);
    if (name != nil && frameworkValue(value, converted)) {
      [merged setObject:converted forKey:name];
    }
  }
  return merged;
}

NEVPNProtocol* _Nullable frameworkProtocol(const kelo::NEVPNProtocol* protocol) {
  if (protocol == nullptr) {
    return nil;
  }
  const auto* state = static_cast<const ProtocolState*>(protocol->backendState.get());
  const auto* provider = dynamic_cast<const kelo::NETunnelProviderProtocol*>(protocol);
  if (provider == nullptr) {
    return state != nullptr ? state->object : nil;
  }
  NETunnelProviderProtocol* loaded = nil;
  if (state != nullptr && [state->object isKindOfClass:[NETunnelProviderProtocol class]]) {
    loaded = (NETunnelProviderProtocol*)state->object;
  }
  NETunnelProviderProtocol* object =
      loaded != nil ? [loaded copy] : [[NETunnelProviderProtocol alloc] init];
  object.providerBundleIdentifier =
      provider->providerBundleIdentifier ? frameworkText(*provider->providerBundleIdentifier) : nil;
  object.serverAddress = provider->serverAddress ? frameworkText(*provider->serverAddress) : nil;
  object.disconnectOnSleep = provider->disconnectOnSleep ? YES : NO;
  object.includeAllNetworks = provider->includeAllNetworks ? YES : NO;
  object.excludeLocalNetworks = provider->excludeLocalNetworks ? YES : NO;
  object.providerConfiguration =
      frameworkConfiguration(provider->providerConfiguration, loaded.providerConfiguration,
                             state != nullptr ? state->readKeys : std::vector<std::string>{});
  return object;
}

std::optional<std::vector<kelo::NEAppRule>> toolRules(NSArray<NEAppRule*>* _Nullable rules) {
  if (rules == nil) {
    return std::nullopt;
  }
  std::vector<kelo::NEAppRule> converted;
  for (NSUInteger index = 0; index < rules.count; ++index) {
    NEAppRule* rule = [rules objectAtIndex:index];
    kelo::NEAppRule made(text(rule.matchSigningIdentifier), text(rule.matchDesignatedRequirement));
    made.matchPath = optionalText(rule.matchPath);
    converted.push_back(std::move(made));
  }
  return converted;
}

NSArray<NEAppRule*>* frameworkRules(const std::vector<kelo::NEAppRule>& rules) {
  NSMutableArray<NEAppRule*>* converted = [NSMutableArray arrayWithCapacity:rules.size()];
  for (const auto& rule : rules) {
    NSString* identifier = frameworkText(rule.signingIdentifier);
    NSString* requirement = frameworkText(rule.designatedRequirement);
    if (identifier == nil || requirement == nil) {
      continue;  // not representable: the tool only makes rules from valid UTF-8
    }
    NEAppRule* made = [[NEAppRule alloc] initWithSigningIdentifier:identifier
                                             designatedRequirement:requirement];
    made.matchPath = rule.matchPath ? frameworkText(*rule.matchPath) : nil;
    [converted addObject:made];
  }
  return converted;
}

// What a change asked for after the request's outcome was decided gets; nobody reads it.
kelo::PlatformError endedError() {
  return kelo::PlatformError{"The request has already ended."};
}

// Runs a change of the stored preferences through the change gate; a refused one completes
// with an error on the main run loop.
void gatedChange(const CppManager::CompletionHandler& completionHandler,
                 const std::function<void()>& change) {
  if (!kelo::changes::apply(change)) {
    dispatch_async(dispatch_get_main_queue(), ^{
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
  manager.localizedDescription = optionalText(object.localizedDescription);
  manager.enabled = object.enabled == YES;
  manager.protocolConfiguration = toolProtocol(object.protocolConfiguration);
  manager.appRules = toolRules([object copyAppRules]);
  manager.replaceConnection(toolConnection(object.connection));
}

void carryOnto(NETunnelProviderManager* object, const CppManager& manager) {
  object.localizedDescription =
      manager.localizedDescription ? frameworkText(*manager.localizedDescription) : nil;
  object.enabled = manager.enabled ? YES : NO;
  object.protocolConfiguration = frameworkProtocol(manager.protocolConfiguration.get());
  if (manager.appRules) {
    object.appRules = frameworkRules(*manager.appRules);
  }
}

// The framework names no identity of its own for a profile; the object's address serves the
// C++ side, which only the simulated platform reads.
CppManager::Pointer toolManager(NETunnelProviderManager* object) {
  const auto address = reinterpret_cast<std::uintptr_t>((__bridge void*)object);
  auto manager = std::make_shared<CppManager>(std::to_string(address), [object copyAppRules] != nil,
                                              toolConnection(object.connection));
  manager->backendState = std::make_shared<ManagerState>(ManagerState{object});
  readBack(*manager);
  return manager;
}

// Continues on the main run loop, where the bounded wait turns: the framework documents the
// main thread for most completion handlers, and none for loading all profiles.
void onMainRunLoop(dispatch_block_t block) {
  dispatch_async(dispatch_get_main_queue(), block);
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
  carryOnto(object, *this);
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
