#include "platform/apple/profile_mapping.h"

#include "platform/apple/value_conversion.h"
#include "platform/change_gate.h"

#include <dispatch/dispatch.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The framework's names are at global scope here; the tool's are written with "kelo::".
namespace {

using CppManager = kelo::NETunnelProviderManager;
using Json = kelo::ProviderConfiguration;
using kelo::apple::endedError;
using kelo::apple::frameworkText;
using kelo::apple::optionalToolText;
using kelo::apple::platformError;
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

bool sameSettings(const kelo::NETunnelProviderProtocol& one,
                  const kelo::NETunnelProviderProtocol& other) {
  return one.providerBundleIdentifier == other.providerBundleIdentifier &&
         one.serverAddress == other.serverAddress &&
         one.providerConfiguration == other.providerConfiguration &&
         one.disconnectOnSleep == other.disconnectOnSleep &&
         one.includeAllNetworks == other.includeAllNetworks &&
         one.excludeLocalNetworks == other.excludeLocalNetworks &&
         one.enforceRoutes == other.enforceRoutes;
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
  protocol->enforceRoutes = provider.enforceRoutes == YES;
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
  if (provider->enforceRoutes) {
    object.enforceRoutes = *provider->enforceRoutes ? YES : NO;
  }
  object.providerConfiguration = *configuration;
  return object;
}

// When the connection came up, while it is connected.
std::optional<double> connectedDateOf(::NEVPNConnection* connection) {
  NSDate* date = connection.connectedDate;
  if (date == nil) {
    return std::nullopt;
  }
  return date.timeIntervalSince1970;
}

// The error that ended the connection's last run, on the main run loop: none before macOS 13,
// which keeps none.
void fetchLastDisconnectErrorOf(
    ::NEVPNConnection* connection,
    kelo::NEVPNConnection::LastDisconnectErrorCompletion completionHandler) {
  auto handler = std::make_shared<kelo::NEVPNConnection::LastDisconnectErrorCompletion>(
      std::move(completionHandler));
  if (@available(macOS 13.0, *)) {
    [connection fetchLastDisconnectErrorWithCompletionHandler:^(NSError* _Nullable error) {
      std::optional<kelo::PlatformError> last;
      if (error != nil) {
        last = platformError(error, "The last connection ended with an error.");
      }
      dispatch_async(dispatch_get_main_queue(), ^{
        (*handler)(last);
      });
    }];
  } else {
    dispatch_async(dispatch_get_main_queue(), ^{
      (*handler)(std::nullopt);
    });
  }
}

// The token NSNotificationCenter hands out for an observer, given back when it is destroyed.
class NotificationObserver final : public kelo::NEVPNObserver {
 public:
  explicit NotificationObserver(id<NSObject> token) : token_(token) {}
  ~NotificationObserver() override { [NSNotificationCenter.defaultCenter removeObserver:token_]; }
  NotificationObserver(const NotificationObserver&) = delete;
  NotificationObserver& operator=(const NotificationObserver&) = delete;

 private:
  id<NSObject> token_;
};

// A connection of either kind, as the tool sees it, over the framework's object of that kind.
template <class Kind, class Framework>
class FrameworkConnectionOf : public Kind {
 public:
  explicit FrameworkConnectionOf(Framework* connection) : connection_(connection) {}
  // An unknown code passes through unchanged.
  kelo::NEVPNStatus status() const final {
    return static_cast<kelo::NEVPNStatus>(connection_.status);
  }
  bool stopVPNTunnel() final {
    kelo::changes::apply([this] { [connection_ stopVPNTunnel]; });
    return true;
  }
  std::optional<double> connectedDate() const final { return connectedDateOf(connection_); }
  void fetchLastDisconnectError(
      kelo::NEVPNConnection::LastDisconnectErrorCompletion completionHandler) final {
    fetchLastDisconnectErrorOf(connection_, std::move(completionHandler));
  }
  std::unique_ptr<kelo::NEVPNObserver> observeStatusDidChange(
      kelo::NEVPNNotificationHandler handler) final {
    return kelo::apple::observe(NEVPNStatusDidChangeNotification, connection_, std::move(handler));
  }

 protected:
  Framework* connection_;  // the framework's, not the base class
};

using FrameworkConnection = FrameworkConnectionOf<kelo::NEVPNConnection, ::NEVPNConnection>;

class FrameworkSession final
    : public FrameworkConnectionOf<kelo::NETunnelProviderSession, ::NETunnelProviderSession> {
 public:
  using FrameworkConnectionOf::FrameworkConnectionOf;
  std::expected<void, kelo::PlatformError> startVPNTunnel() override {
    std::expected<void, kelo::PlatformError> started = std::unexpected(endedError());
    kelo::changes::apply([this, &started] {
      NSError* error = nil;
      if ([connection_ startVPNTunnelAndReturnError:&error]) {
        started = {};
      } else {
        started = std::unexpected(platformError(error, "The VPN tunnel could not be started."));
      }
    });
    return started;
  }
};

}  // namespace

std::unique_ptr<kelo::NEVPNObserver> kelo::apple::observe(NSNotificationName _Nonnull name,
                                                          id _Nullable object,
                                                          NEVPNNotificationHandler handler) {
  auto shared = std::make_shared<NEVPNNotificationHandler>(std::move(handler));
  id<NSObject> token =
      [NSNotificationCenter.defaultCenter addObserverForName:name
                                                      object:object
                                                       queue:NSOperationQueue.mainQueue
                                                  usingBlock:^(NSNotification* _Nonnull) {
                                                    (*shared)();
                                                  }];
  return std::make_unique<NotificationObserver>(token);
}

kelo::PlatformError kelo::apple::platformError(NSError* _Nullable error,
                                               const char* _Nonnull fallback) {
  std::optional<kelo::PlatformCause> cause;
  if (error != nil && error.domain != nil) {
    cause = kelo::PlatformCause{toolText(error.domain), static_cast<long long>(error.code)};
  }
  if (NSString* description = error.localizedDescription) {
    return kelo::PlatformError{toolText(description), cause};
  }
  return kelo::PlatformError{fallback, cause};
}

kelo::PlatformError kelo::apple::endedError() {
  return kelo::PlatformError{"The request has already ended."};
}

std::shared_ptr<kelo::NEVPNConnection> kelo::apple::toolConnection(
    ::NEVPNConnection* _Nonnull connection) {
  if ([connection isKindOfClass:[::NETunnelProviderSession class]]) {
    return std::make_shared<FrameworkSession>((::NETunnelProviderSession*)connection);
  }
  return std::make_shared<FrameworkConnection>(connection);
}

::NETunnelProviderManager* _Nonnull kelo::apple::frameworkObject(const CppManager& manager) {
  return static_cast<const ManagerState*>(manager.backendState.get())->object;
}

void kelo::apple::readBack(CppManager& manager) {
  ::NETunnelProviderManager* object = frameworkObject(manager);
  manager.localizedDescription = optionalToolText(object.localizedDescription);
  manager.enabled = object.enabled == YES;
  manager.protocolConfiguration = toolProtocol(object.protocolConfiguration);
  manager.appRules = toolRules([object copyAppRules]);
  manager.onDemandRules = toolOnDemandRules(object.onDemandRules);
  manager.onDemandEnabled = object.onDemandEnabled == YES;
  manager.replaceConnection(toolConnection(object.connection));
}

std::expected<void, kelo::PlatformError> kelo::apple::carryOnto(
    ::NETunnelProviderManager* _Nonnull object, const CppManager& manager) {
  const auto protocol = frameworkProtocol(manager.protocolConfiguration.get());
  if (!protocol) {
    return std::unexpected(protocol.error());
  }
  NSArray<::NEAppRule*>* rules = nil;
  if (manager.appRules && manager.appRules != toolRules([object copyAppRules])) {
    rules = frameworkRules(*manager.appRules);
    if (rules == nil) {
      return std::unexpected(
          PlatformError{"An application rule has a text the system cannot store."});
    }
  }
  // Rules the tool has no form for were not read: an unchanged list keeps them.
  const bool newOnDemandRules = manager.onDemandRules != toolOnDemandRules(object.onDemandRules);
  NSArray<::NEOnDemandRule*>* onDemandRules = nil;
  if (newOnDemandRules && manager.onDemandRules) {
    onDemandRules = frameworkOnDemandRules(*manager.onDemandRules);
    if (onDemandRules == nil) {
      return std::unexpected(
          PlatformError{"An on-demand rule names a network the system cannot store."});
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
  if (newOnDemandRules) {
    object.onDemandRules = onDemandRules;
  }
  if (manager.onDemandEnabled != (object.onDemandEnabled == YES)) {
    object.onDemandEnabled = manager.onDemandEnabled ? YES : NO;
  }
  return {};
}

// The framework names no identity of its own for a profile; the object's address serves the
// C++ side, which only the simulated platform reads.
auto kelo::apple::toolManager(::NETunnelProviderManager* _Nonnull object) -> CppManager::Pointer {
  const auto address = reinterpret_cast<std::uintptr_t>(object);
  auto manager = std::make_shared<CppManager>(std::to_string(address), [object copyAppRules] != nil,
                                              toolConnection(object.connection));
  manager->backendState = std::make_shared<ManagerState>(ManagerState{object});
  readBack(*manager);
  return manager;
}
