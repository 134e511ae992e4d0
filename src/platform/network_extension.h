// The part of the NetworkExtension framework that the tool uses, in the framework's own names.
// The tool's logic (tunnel/, apprules/ and the commands) sees only this header; one backend
// beneath platform/ implements it: simulated/ (the VPN preferences in a JSON file) or apple/
// (Apple's framework). Requests are made on the main thread; completion handlers are delivered
// later on the main run loop, never inside the call; connection calls return at once. A backend
// that must keep a framework object of its own from load to save keeps it in the object's
// `backendState`, which the tool never looks into.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform_error.h"

namespace kelo {

// The connection state codes of NEVPNStatus. A connection may report other values too.
using NEVPNStatus = std::int64_t;
inline constexpr NEVPNStatus NEVPNStatusInvalid = 0;
inline constexpr NEVPNStatus NEVPNStatusDisconnected = 1;
inline constexpr NEVPNStatus NEVPNStatusConnecting = 2;
inline constexpr NEVPNStatus NEVPNStatusConnected = 3;
inline constexpr NEVPNStatus NEVPNStatusReasserting = 4;
inline constexpr NEVPNStatus NEVPNStatusDisconnecting = 5;

// The dictionary handed to the packet-tunnel extension: texts stay strings, integers stay
// integers, and whatever a stored profile holds beyond that is kept as it is.
using ProviderConfiguration = nlohmann::ordered_json;

// A per-app rule: traffic of the application it names goes through the tunnel.
struct NEAppRule {
  NEAppRule(std::string signingIdentifier, std::string designatedRequirement)
      : signingIdentifier(std::move(signingIdentifier)),
        designatedRequirement(std::move(designatedRequirement)) {}

  std::string signingIdentifier;
  std::string designatedRequirement;
  std::optional<std::string> matchPath;

  bool operator==(const NEAppRule&) const = default;
};

// An on-demand rule: on a network that it matches, the system brings the tunnel up, takes it
// down, or leaves it as it is, by itself. A profile's rules are evaluated in order; the first
// that matches the machine's network decides.
enum class NEOnDemandRuleAction { connect, disconnect, ignore };
enum class NEOnDemandRuleInterfaceType { any, ethernet, wiFi };

struct NEOnDemandRule {
  NEOnDemandRuleAction action = NEOnDemandRuleAction::ignore;
  NEOnDemandRuleInterfaceType interfaceTypeMatch = NEOnDemandRuleInterfaceType::any;
  // Wi-Fi network names; absent, the rule matches any network of its interface type.
  std::optional<std::vector<std::string>> SSIDMatch;

  bool operator==(const NEOnDemandRule&) const = default;
};

// A profile's protocol configuration. Protocols of other kinds than tunnel-provider are
// platform subclasses the tool never looks into.
class NEVPNProtocol {
 public:
  virtual ~NEVPNProtocol() = default;

  std::shared_ptr<void> backendState;
};

class NETunnelProviderProtocol final : public NEVPNProtocol {
 public:
  std::optional<std::string> providerBundleIdentifier;
  std::optional<std::string> serverAddress;
  std::optional<ProviderConfiguration> providerConfiguration;
  bool disconnectOnSleep = false;
  bool includeAllNetworks = false;
  bool excludeLocalNetworks = false;
  // Absent until a value is given: a profile that never had one is stored as it was.
  std::optional<bool> enforceRoutes;
};

// An observer of one of the framework's notifications (NSNotificationCenter, on the main queue):
// its handler runs on the main run loop each time the notification is posted, never inside the
// call that made it, until the object is destroyed, which removes it. Null where the platform
// cannot notify (the simulated one, when no thread can be started): then only looking again
// tells. Main thread.
class NEVPNObserver {
 public:
  virtual ~NEVPNObserver() = default;
};

using NEVPNNotificationHandler = std::function<void()>;

// NEVPNConfigurationChangeNotification: a profile was saved, removed or edited, by this process
// or another. Profile objects loaded before show the change only once loaded again. The
// simulated platform also posts it for a change of a stored connection's status, which its
// objects, unlike the framework's, learn only by loading again.
[[nodiscard]] std::unique_ptr<NEVPNObserver> observeConfigurationChange(
    NEVPNNotificationHandler handler);

// A profile's connection. Stopping returns at once and goes on in the background.
class NEVPNConnection {
 public:
  using LastDisconnectErrorCompletion = std::function<void(std::optional<PlatformError>)>;

  virtual ~NEVPNConnection() = default;
  virtual NEVPNStatus status() const = 0;
  // Whether the stop was taken on. The framework's call returns nothing and always is; the
  // simulated platform's is not when the stop cannot be recorded (a full disk), and then
  // nothing changes, so there is nothing to wait for.
  virtual bool stopVPNTunnel() = 0;
  // When the tunnel came up, in seconds since the Unix epoch, while it reads connected.
  virtual std::optional<double> connectedDate() const = 0;
  // The error that ended the last connection, where the system keeps one (macOS 13 and later);
  // delivered on the main run loop.
  virtual void fetchLastDisconnectError(LastDisconnectErrorCompletion completionHandler) = 0;
  // NEVPNStatusDidChangeNotification for this connection: status() may read otherwise now.
  [[nodiscard]] virtual std::unique_ptr<NEVPNObserver> observeStatusDidChange(
      NEVPNNotificationHandler handler) = 0;
};

// The connection of a tunnel-provider profile: the only kind on which a tunnel can be started.
class NETunnelProviderSession : public NEVPNConnection {
 public:
  virtual std::expected<void, PlatformError> startVPNTunnel() = 0;
};

class NETunnelProviderManager {
 public:
  using Pointer = std::shared_ptr<NETunnelProviderManager>;
  using LoadAllCompletion = std::function<void(std::expected<std::vector<Pointer>, PlatformError>)>;
  using CompletionHandler = std::function<void(std::expected<void, PlatformError>)>;

  // Every saved profile visible to the tool, as fresh objects, in the platform's order.
  static void loadAllFromPreferences(LoadAllCompletion completionHandler);
  // A new, unsaved profile: plain (`init`), or per-app.
  static Pointer init();
  static Pointer forPerAppVPN();

  std::shared_ptr<NEVPNProtocol> protocolConfiguration;
  std::optional<std::string> localizedDescription;
  bool enabled = false;
  // Absent and empty both mean "no rules"; the platform keeps which one was written.
  std::optional<std::vector<NEAppRule>> appRules;
  // Rules of kinds the tool has no form for are not read; a save keeps them while the list
  // read is left as it is.
  std::optional<std::vector<NEOnDemandRule>> onDemandRules;
  bool onDemandEnabled = false;

  NEVPNConnection& connection() const { return *connection_; }

  void saveToPreferences(CompletionHandler completionHandler);
  void loadFromPreferences(CompletionHandler completionHandler);
  void removeFromPreferences(CompletionHandler completionHandler);

  // For platform implementations and tests: a profile object with the given identity.
  NETunnelProviderManager(std::string identifier, bool perAppVPN,
                          std::shared_ptr<NEVPNConnection> connection)
      : identifier_(std::move(identifier)),
        perAppVPN_(perAppVPN),
        connection_(std::move(connection)) {}
  virtual ~NETunnelProviderManager() = default;

  const std::string& identifier() const { return identifier_; }
  bool isPerAppVPN() const { return perAppVPN_; }
  void replaceConnection(std::shared_ptr<NEVPNConnection> connection) {
    connection_ = std::move(connection);
  }

  std::shared_ptr<void> backendState;

 private:
  std::string identifier_;
  bool perAppVPN_;
  std::shared_ptr<NEVPNConnection> connection_;
};

}  // namespace kelo
