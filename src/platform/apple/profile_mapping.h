// The mapping between the framework's profile objects and the tool's, for the Apple
// NetworkExtension layer. Each C++ profile object keeps the framework's NETunnelProviderManager
// in its backend state from load (or creation) to save: everything is read from the framework's
// object, and what the tool changed is carried back onto it before a save, leaving every field
// the tool did not change (and every value it has no form for) as the framework returned it.
// Objective-C++: only the layer's .mm files include it. Main thread.
#pragma once

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>

#include <expected>
#include <memory>

#include "platform/network_extension.h"

// Inside this namespace the unqualified names are the tool's; the framework's are written with a
// leading "::".
namespace kelo::apple {

// A C++ profile object for the framework's, with everything read from it.
NETunnelProviderManager::Pointer toolManager(::NETunnelProviderManager* _Nonnull object);

// The framework's object behind a C++ profile object.
::NETunnelProviderManager* _Nonnull frameworkObject(const NETunnelProviderManager& manager);

// Reads the framework's object onto the C++ one again, its connection included.
void readBack(NETunnelProviderManager& manager);

// Carries what the tool changed onto the framework's object; a field the tool left as it read
// it is not assigned again. Fails, changing nothing, on a value the framework has no form for.
std::expected<void, PlatformError> carryOnto(::NETunnelProviderManager* _Nonnull object,
                                             const NETunnelProviderManager& manager);

// The tool's connection for the framework's: a tunnel-provider session, or a plain connection.
std::shared_ptr<NEVPNConnection> toolConnection(::NEVPNConnection* _Nonnull connection);

// Observes a notification of the framework on the main queue, from `object` or (nil) any object,
// until the observer is destroyed.
std::unique_ptr<NEVPNObserver> observe(NSNotificationName _Nonnull name, id _Nullable object,
                                       NEVPNNotificationHandler handler);

// The failure for a framework error: its localized description, else `fallback`.
PlatformError platformError(NSError* _Nullable error, const char* _Nonnull fallback);

// What a change asked for after the request's outcome was decided gets; nobody reads it.
PlatformError endedError();

}  // namespace kelo::apple
