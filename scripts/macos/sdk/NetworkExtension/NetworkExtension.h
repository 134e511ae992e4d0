// Declarations subset (see scripts/macos/README.md): the NetworkExtension classes the layer uses,
// as Apple documents them. All of them are documented as thread safe.
#pragma once

#include <Foundation/Foundation.h>

NS_ASSUME_NONNULL_BEGIN

typedef NS_ENUM(NSInteger, NEVPNStatus) {
  NEVPNStatusInvalid = 0,
  NEVPNStatusDisconnected = 1,
  NEVPNStatusConnecting = 2,
  NEVPNStatusConnected = 3,
  NEVPNStatusReasserting = 4,
  NEVPNStatusDisconnecting = 5,
} API_AVAILABLE_MACOS(10.11);

extern NSNotificationName const NEVPNStatusDidChangeNotification API_AVAILABLE_MACOS(10.11);
extern NSNotificationName const NEVPNConfigurationChangeNotification API_AVAILABLE_MACOS(10.11);

API_AVAILABLE_MACOS(10.11)
@interface NEVPNProtocol : NSObject <NSCopying, NSSecureCoding>
@property(copy, nullable) NSString* serverAddress;
@property BOOL disconnectOnSleep;
@property BOOL includeAllNetworks API_AVAILABLE_MACOS(10.15);
@property BOOL excludeLocalNetworks API_AVAILABLE_MACOS(10.15);
@property BOOL enforceRoutes API_AVAILABLE_MACOS(11.0);
@end

API_AVAILABLE_MACOS(10.11)
@interface NETunnelProviderProtocol : NEVPNProtocol
@property(copy, nullable) NSDictionary<NSString*, id>* providerConfiguration;
@property(copy, nullable) NSString* providerBundleIdentifier;
@end

API_AVAILABLE_MACOS(10.11)
@interface NEVPNConnection : NSObject
- (BOOL)startVPNTunnelAndReturnError:(NSError**)error;
- (BOOL)startVPNTunnelWithOptions:(nullable NSDictionary<NSString*, NSObject*>*)options
                   andReturnError:(NSError**)error;
- (void)stopVPNTunnel;
- (void)fetchLastDisconnectErrorWithCompletionHandler:(void (^)(NSError* _Nullable error))handler
    API_AVAILABLE_MACOS(13.0);
@property(readonly) NEVPNStatus status;
@property(readonly, nullable) NSDate* connectedDate;
@end

API_AVAILABLE_MACOS(10.11)
@interface NETunnelProviderSession : NEVPNConnection
@end

API_AVAILABLE_MACOS(10.11)
@interface NEAppRule : NSObject <NSSecureCoding, NSCopying>
- (instancetype)initWithSigningIdentifier:(NSString*)signingIdentifier
                    designatedRequirement:(NSString*)designatedRequirement;
@property(readonly) NSString* matchSigningIdentifier;
@property(readonly) NSString* matchDesignatedRequirement;
@property(copy, nullable) NSString* matchPath;
@end

typedef NS_ENUM(NSInteger, NEOnDemandRuleInterfaceType) {
  NEOnDemandRuleInterfaceTypeAny = 0,
  NEOnDemandRuleInterfaceTypeEthernet = 1,
  NEOnDemandRuleInterfaceTypeWiFi = 2,
} API_AVAILABLE_MACOS(10.11);

// The action of a rule is its class's; it cannot be set.
API_AVAILABLE_MACOS(10.11)
@interface NEOnDemandRule : NSObject <NSSecureCoding, NSCopying>
@property NEOnDemandRuleInterfaceType interfaceTypeMatch;
@property(copy, nullable) NSArray<NSString*>* SSIDMatch;
@end

API_AVAILABLE_MACOS(10.11)
@interface NEOnDemandRuleConnect : NEOnDemandRule
@end

API_AVAILABLE_MACOS(10.11)
@interface NEOnDemandRuleDisconnect : NEOnDemandRule
@end

API_AVAILABLE_MACOS(10.11)
@interface NEOnDemandRuleIgnore : NEOnDemandRule
@end

API_AVAILABLE_MACOS(10.11)
@interface NEOnDemandRuleEvaluateConnection : NEOnDemandRule
@end

API_AVAILABLE_MACOS(10.11)
@interface NEVPNManager : NSObject
@property(copy, nullable) NSString* localizedDescription;
@property(strong, nullable) NEVPNProtocol* protocolConfiguration;
@property(getter=isEnabled) BOOL enabled;
@property(readonly) NEVPNConnection* connection;
@property(copy, nullable) NSArray<NEOnDemandRule*>* onDemandRules;
@property(getter=isOnDemandEnabled) BOOL onDemandEnabled;
- (void)loadFromPreferencesWithCompletionHandler:
    (void (^)(NSError* _Nullable error))completionHandler;
- (void)saveToPreferencesWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
- (void)removeFromPreferencesWithCompletionHandler:
    (nullable void (^)(NSError* _Nullable error))completionHandler;
@end

API_AVAILABLE_MACOS(10.11)
@interface NETunnelProviderManager : NEVPNManager
+ (void)loadAllFromPreferencesWithCompletionHandler:
    (void (^)(NSArray<NETunnelProviderManager*>* _Nullable managers,
              NSError* _Nullable error))completionHandler;
+ (instancetype)forPerAppVPN API_AVAILABLE_MACOS(10.15.4);
- (nullable NSArray<NEAppRule*>*)copyAppRules API_AVAILABLE_MACOS(10.15.4);
@property(copy) NSArray<NEAppRule*>* appRules API_AVAILABLE_MACOS(10.15.4);
@end

NS_ASSUME_NONNULL_END
