// The simulated NetworkExtension: NETunnelProviderManager and its connections, kept in the
// preferences file. Each operation reads the file afresh (faults included) and delivers its
// completion on the main run loop; connection calls may come from any thread.
#include "platform/network_extension.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <random>

#include "platform/run_loop.h"
#include "platform/simulated/preferences_file.h"
#include "platform/simulated/stored_profile.h"
#include "platform/simulated/watch.h"

namespace kelo {

namespace {

using simulator::ConnectionState;
using simulator::Document;
using simulator::findEntry;
using simulator::OnDemandState;
using simulator::platformError;
using simulator::secondsSinceEpoch;

constexpr double kSettleSeconds = 0.5;

// What the simulated Mac is, as the document says: whether it keeps the error that ended a
// connection (macOS 13 and later do), and where it behaves as a real Mac does.
struct SimulatedMac {
  bool keepsDisconnectErrors = true;
  simulator::MacBehaviour behaviour;
};

SimulatedMac simulatedMac(const Document& document) {
  return {.keepsDisconnectErrors = simulator::runsAtLeast(document, 13, 0),
          .behaviour = simulator::storedBehaviour(document)};
}

// How long after the simulator's last change the tunnel has settled: half a second to come up,
// as long to go down unless the Mac's provider is slower to stop.
double settleSeconds(const ConnectionState& state, const simulator::MacBehaviour& mac) {
  return state.status == NEVPNStatusDisconnecting ? mac.stopSeconds.value_or(kSettleSeconds)
                                                  : kSettleSeconds;
}

// The status as the extension has moved it since the simulator's last change; on a Mac whose
// status lags, the one from before that change for a while.
NEVPNStatus settled(const ConnectionState& state, const simulator::MacBehaviour& mac) {
  if (!state.since) {
    return state.status;
  }
  const double elapsed = secondsSinceEpoch() - *state.since;
  if (mac.statusLagSeconds && elapsed < *mac.statusLagSeconds) {
    return state.previous.value_or(NEVPNStatusDisconnected);
  }
  if (elapsed < settleSeconds(state, mac)) {
    return state.status;
  }
  if (state.status == NEVPNStatusConnecting) {
    return state.failing ? NEVPNStatusDisconnected : NEVPNStatusConnected;
  }
  if (state.status == NEVPNStatusDisconnecting) {
    return NEVPNStatusDisconnected;
  }
  return state.status;
}

bool matches(const NEOnDemandRule& rule, const simulator::Network& network) {
  if (rule.interfaceTypeMatch != NEOnDemandRuleInterfaceType::any &&
      rule.interfaceTypeMatch != network.interfaceType) {
    return false;
  }
  return !rule.SSIDMatch || (network.ssid && std::ranges::find(*rule.SSIDMatch, *network.ssid) !=
                                                 rule.SSIDMatch->end());
}

// What the system makes of a settled status when on-demand is on: the first rule that matches
// the network brings a disconnected tunnel up, or takes a running one down.
NEVPNStatus onDemandStatus(NEVPNStatus status, const OnDemandState& onDemand) {
  if (!onDemand.enabled || !onDemand.network) {
    return status;
  }
  const auto decides = std::ranges::find_if(
      onDemand.rules, [&](const NEOnDemandRule& rule) { return matches(rule, *onDemand.network); });
  if (decides == onDemand.rules.end()) {
    return status;
  }
  if (decides->action == NEOnDemandRuleAction::connect && status == NEVPNStatusDisconnected) {
    return NEVPNStatusConnected;
  }
  if (decides->action == NEOnDemandRuleAction::disconnect &&
      (status == NEVPNStatusConnecting || status == NEVPNStatusConnected ||
       status == NEVPNStatusReasserting)) {
    return NEVPNStatusDisconnected;
  }
  return status;
}

const Document* fault(const Document& document, const char* name) {
  const auto faults = document.find("faults");
  if (faults == document.end() || !faults->is_object()) {
    return nullptr;
  }
  const auto found = faults->find(name);
  return found == faults->end() ? nullptr : &*found;
}

// An error as a fault gives it: a text, its description; or an object with a text
// "description" and, as an NSError has them, a text "domain" and an integer "code".
std::optional<PlatformError> errorOf(const Document& value) {
  if (value.is_string()) {
    return platformError(value.get<std::string>());
  }
  const auto description = value.is_object() ? value.find("description") : value.end();
  if (description == value.end() || !description->is_string()) {
    return std::nullopt;
  }
  PlatformError error = platformError(description->get<std::string>());
  const auto domain = value.find("domain");
  const auto code = value.find("code");
  if (domain != value.end() && domain->is_string() && code != value.end() &&
      code->is_number_integer() &&
      (!code->is_number_unsigned() || code->get<std::uint64_t>() <= INT64_MAX)) {
    error.cause = PlatformCause{domain->get<std::string>(), code->get<long long>()};
  }
  return error;
}

std::optional<PlatformError> errorFault(const Document& document, const char* name) {
  const Document* found = fault(document, name);
  return found == nullptr ? std::nullopt : errorOf(*found);
}

bool isSilent(const Document& document, const char* operation) {
  const Document* silent = fault(document, "silent");
  if (silent == nullptr || !silent->is_array()) {
    return false;
  }
  for (const auto& name : *silent) {
    if (name == operation) {
      return true;
    }
  }
  return false;
}

template <class Handler, class Value>
void deliver(Handler handler, Value value) {
  runloop::post([handler = std::move(handler), value = std::move(value)]() mutable {
    handler(std::move(value));
  });
}

// The connection of one stored profile. It keeps the state it last saw and refreshes it, and
// the network, from the file whenever it stops or starts the tunnel.
class SimulatedConnection {
 public:
  SimulatedConnection(std::string identifier, ConnectionState state, OnDemandState onDemand,
                      SimulatedMac mac)
      : identifier_(std::move(identifier)),
        state_(std::move(state)),
        onDemand_(std::move(onDemand)),
        mac_(mac) {}

  NEVPNStatus status() const { return onDemandStatus(settled(state_, mac_.behaviour), onDemand_); }

  // The moment the status became connected, as far as the stored state tells: a start that has
  // settled, or a connected status written with its time. On-demand's doing has no time.
  std::optional<double> connectedDate() const {
    if (status() != NEVPNStatusConnected || !state_.since) {
      return std::nullopt;
    }
    if (state_.status == NEVPNStatusConnecting) {
      return *state_.since + kSettleSeconds;
    }
    if (state_.status == NEVPNStatusConnected) {
      return state_.since;
    }
    return std::nullopt;
  }

  // As last read, like the status; a Mac before 13 keeps none. A start that fails is told
  // when its tunnel has fallen, not before.
  void fetchLastDisconnectError(NEVPNConnection::LastDisconnectErrorCompletion completion) const {
    std::optional<PlatformError> error;
    if (mac_.keepsDisconnectErrors) {
      const bool fallen =
          state_.failing && settled(state_, mac_.behaviour) == NEVPNStatusDisconnected;
      error = errorOf(fallen ? state_.failingError : state_.lastDisconnectError);
    }
    deliver(std::move(completion), std::move(error));
  }

  // The system posts a status change when the tunnel settles by itself, and when a lagging
  // status catches up; every other change of the stored state is a change of the file, which
  // the configuration's observers see.
  std::unique_ptr<NEVPNObserver> observeStatusDidChange(NEVPNNotificationHandler handler) const {
    std::vector<double> moments;
    if (state_.since && mac_.behaviour.statusLagSeconds) {
      moments.push_back(*state_.since + *mac_.behaviour.statusLagSeconds);
    }
    if (state_.since &&
        (state_.status == NEVPNStatusConnecting || state_.status == NEVPNStatusDisconnecting)) {
      moments.push_back(*state_.since + settleSeconds(state_, mac_.behaviour));
    }
    if (moments.empty()) {
      return std::make_unique<NEVPNObserver>();
    }
    return simulator::watchMoments(std::move(moments), std::move(handler));
  }

  // A stop or a start is recorded in the file before the connection takes it on: one that
  // cannot be written changes nothing, and the connection then reads what is stored.
  bool stop() {
    return record(NEVPNStatusDisconnecting,
                  [this](const Document& document,
                         const Document* entry) -> std::expected<bool, PlatformError> {
                    const Document* ignored = fault(document, "stopIgnored");
                    if (entry == nullptr || (ignored != nullptr && *ignored == true)) {
                      return false;
                    }
                    const NEVPNStatus current = status();
                    return current == NEVPNStatusConnecting || current == NEVPNStatusConnected ||
                           current == NEVPNStatusReasserting;
                  })
        .has_value();
  }

  // A Mac that drops a start asked for while the tunnel is still going down does so silently.
  std::expected<void, PlatformError> start() {
    return record(
        NEVPNStatusConnecting,
        [this](const Document& document,
               const Document* entry) -> std::expected<bool, PlatformError> {
          if (auto failure = errorFault(document, "start")) {
            return std::unexpected(*failure);
          }
          if (entry == nullptr) {
            return std::unexpected(platformError("The VPN configuration has not been saved."));
          }
          const auto enabled = entry->find("enabled");
          if (enabled == entry->end() || *enabled != true) {
            return std::unexpected(platformError("The VPN configuration is not enabled."));
          }
          return !mac_.behaviour.dropsStartWhileDisconnecting ||
                 status() != NEVPNStatusDisconnecting;
        });
  }

 private:
  using Applies = std::function<std::expected<bool, PlatformError>(const Document& document,
                                                                   const Document* entry)>;

  // Under the file's lock: takes on the stored state, network and Mac, asks `applies` whether
  // the change is made (the entry is null when the profile is not stored), and writes `next`
  // with the time now (and, where the status lags, the status read before). The connection
  // takes the new state on only once it is written; when the write fails it keeps what it read.
  std::expected<void, PlatformError> record(NEVPNStatus next, const Applies& applies) {
    std::optional<ConnectionState> written;
    auto recorded =
        simulator::updatePreferences([&](Document& document) -> std::expected<bool, PlatformError> {
          Document* entry = findEntry(document, identifier_);
          if (entry != nullptr) {
            state_ = simulator::storedConnection(*entry);
            onDemand_.network = simulator::storedNetwork(document);
            mac_ = simulatedMac(document);
          }
          const auto change = applies(document, entry);
          if (!change || !*change) {
            return change;
          }
          written = state_;
          written->status = next;
          written->since = secondsSinceEpoch();
          if (mac_.behaviour.statusLagSeconds) {
            written->previous = status();
          }
          // A start keeps the last disconnect error; one that is set to fail carries the error
          // its tunnel will fall with.
          if (next == NEVPNStatusConnecting) {
            const Document* fails = fault(document, "connectFails");
            written->failing = fails != nullptr && errorOf(*fails).has_value();
            written->failingError = written->failing ? *fails : Document();
          }
          simulator::storeConnection(*entry, *written);
          return true;
        });
    if (recorded && written) {
      state_ = std::move(*written);
    }
    return recorded;
  }

 private:
  std::string identifier_;
  ConnectionState state_;
  OnDemandState onDemand_;
  SimulatedMac mac_;
};

// A connection of either kind, as the tool sees it: each call is the simulated connection's.
template <class Kind>
class Connection : public Kind {
 public:
  explicit Connection(SimulatedConnection connection) : connection_(std::move(connection)) {}
  NEVPNStatus status() const final { return connection_.status(); }
  bool stopVPNTunnel() final { return connection_.stop(); }
  std::optional<double> connectedDate() const final { return connection_.connectedDate(); }
  void fetchLastDisconnectError(NEVPNConnection::LastDisconnectErrorCompletion handler) final {
    connection_.fetchLastDisconnectError(std::move(handler));
  }
  std::unique_ptr<NEVPNObserver> observeStatusDidChange(NEVPNNotificationHandler handler) final {
    return connection_.observeStatusDidChange(std::move(handler));
  }

 protected:
  SimulatedConnection connection_;
};

using PlainConnection = Connection<NEVPNConnection>;

class SimulatedSession final : public Connection<NETunnelProviderSession> {
 public:
  using Connection::Connection;
  std::expected<void, PlatformError> startVPNTunnel() override { return connection_.start(); }
};

// The connection of a profile whose on-demand settings the system knows as the object holds
// them now, on the network last read, on the Mac last read.
std::shared_ptr<NEVPNConnection> makeConnection(const NETunnelProviderManager& manager,
                                                ConnectionState state,
                                                std::optional<simulator::Network> network,
                                                SimulatedMac mac) {
  const bool session = state.type == simulator::kSessionType;
  OnDemandState onDemand{.enabled = manager.onDemandEnabled,
                         .rules = manager.onDemandRules.value_or(std::vector<NEOnDemandRule>{}),
                         .network = std::move(network)};
  SimulatedConnection connection(manager.identifier(), std::move(state), std::move(onDemand), mac);
  if (session) {
    return std::make_shared<SimulatedSession>(std::move(connection));
  }
  return std::make_shared<PlainConnection>(std::move(connection));
}

// The object's settings and connection as the document stores them.
void refresh(NETunnelProviderManager& manager, const Document& entry, const Document& document) {
  simulator::readSettings(manager, entry);
  manager.replaceConnection(makeConnection(manager, simulator::storedConnection(entry),
                                           simulator::storedNetwork(document),
                                           simulatedMac(document)));
}

NETunnelProviderManager::Pointer parseProfile(const Document& entry, const Document& document) {
  auto manager = std::make_shared<NETunnelProviderManager>(
      entry["identifier"].get<std::string>(), simulator::storedAsPerApp(entry), nullptr);
  refresh(*manager, entry, document);
  return manager;
}

std::string newIdentifier() {
  thread_local std::mt19937_64 random{std::random_device{}()};
  const std::uint64_t high = random();
  const std::uint64_t low = random();
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-4%03X-%04X-%012llX",
                static_cast<unsigned>(high >> 32), static_cast<unsigned>((high >> 16) & 0xFFFF),
                static_cast<unsigned>(high & 0x0FFF),
                static_cast<unsigned>(0x8000 | ((low >> 48) & 0x3FFF)),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return text;
}

NETunnelProviderManager::Pointer newProfile(bool perAppVPN) {
  auto manager = std::make_shared<NETunnelProviderManager>(newIdentifier(), perAppVPN, nullptr);
  ConnectionState unsaved;
  unsaved.status = NEVPNStatusInvalid;
  manager->replaceConnection(makeConnection(*manager, std::move(unsaved), std::nullopt, {}));
  return manager;
}

// The document for an operation that only reads. When the file cannot be read or a fault
// answers for the operation, the failure is delivered (or, for a silent one, nothing is) and
// the operation goes no further.
template <class Value>
std::optional<Document> documentFor(
    const char* operation,
    std::function<void(std::expected<Value, PlatformError>)>& completionHandler) {
  using Failed = std::expected<Value, PlatformError>;
  auto document = simulator::readPreferences();
  if (!document) {
    deliver(std::move(completionHandler), Failed(std::unexpected(document.error())));
    return std::nullopt;
  }
  if (isSilent(*document, operation)) {
    return std::nullopt;
  }
  if (auto failure = errorFault(*document, operation)) {
    deliver(std::move(completionHandler), Failed(std::unexpected(*failure)));
    return std::nullopt;
  }
  return std::move(*document);
}

}  // namespace

std::unique_ptr<NEVPNObserver> observeConfigurationChange(NEVPNNotificationHandler handler) {
  const auto path = simulator::preferencesPath();
  if (!path) {
    return std::make_unique<NEVPNObserver>();  // no file to watch: nothing can change
  }
  return simulator::watchFile(*path, std::move(handler));
}

void NETunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completionHandler) {
  using Loaded = std::expected<std::vector<Pointer>, PlatformError>;
  auto document = documentFor("loadAll", completionHandler);
  if (!document) {
    return;
  }
  std::vector<Pointer> managers;
  if (const auto& profiles = (*document)["profiles"]; profiles.is_array()) {
    for (const auto& entry : profiles) {
      managers.push_back(parseProfile(entry, *document));
    }
  }
  deliver(std::move(completionHandler), Loaded(std::move(managers)));
}

NETunnelProviderManager::Pointer NETunnelProviderManager::init() {
  return newProfile(false);
}

NETunnelProviderManager::Pointer NETunnelProviderManager::forPerAppVPN() {
  return newProfile(true);
}

void NETunnelProviderManager::saveToPreferences(CompletionHandler completionHandler) {
  using Saved = std::expected<void, PlatformError>;
  bool silent = false;
  const Document profile = simulator::storedSettings(*this);
  ConnectionState stored;
  std::optional<simulator::Network> network;
  SimulatedMac mac;
  auto saved =
      simulator::updatePreferences([&](Document& document) -> std::expected<bool, PlatformError> {
        if (isSilent(document, "save")) {
          silent = true;
          return false;
        }
        if (auto failure = errorFault(document, "save")) {
          return std::unexpected(*failure);
        }
        network = simulator::storedNetwork(document);
        mac = simulatedMac(document);
        Document entry = profile;
        Document* existing = findEntry(document, identifier_);
        if (existing != nullptr) {
          stored = simulator::storedConnection(*existing);
          if (stored.status == NEVPNStatusInvalid) {
            stored.status = NEVPNStatusDisconnected;
          }
          entry["connection"] = (*existing)["connection"].is_object() ? (*existing)["connection"]
                                                                      : Document::object();
          simulator::storeConnection(entry, stored);
          *existing = std::move(entry);
        } else {
          entry["connection"] = {{"type", simulator::kSessionType},
                                 {"status", NEVPNStatusDisconnected}};
          document["profiles"].push_back(std::move(entry));
        }
        // Only one VPN configuration is enabled at a time on a Mac, when the file says so.
        if (mac.behaviour.oneEnabled && enabled) {
          for (Document& other : document["profiles"]) {
            if (other.value("identifier", Document()) != identifier_) {
              other["enabled"] = false;
            }
          }
        }
        return true;
      });
  if (silent) {
    return;
  }
  if (saved) {
    replaceConnection(makeConnection(*this, stored, std::move(network), mac));
  }
  deliver(std::move(completionHandler), Saved(std::move(saved)));
}

void NETunnelProviderManager::loadFromPreferences(CompletionHandler completionHandler) {
  using Loaded = std::expected<void, PlatformError>;
  auto document = documentFor("reload", completionHandler);
  if (!document) {
    return;
  }
  const Document* entry = findEntry(*document, identifier_);
  if (entry == nullptr) {
    deliver(std::move(completionHandler),
            Loaded(std::unexpected(platformError("The VPN configuration was not found."))));
    return;
  }
  refresh(*this, *entry, *document);
  deliver(std::move(completionHandler), Loaded());
}

void NETunnelProviderManager::removeFromPreferences(CompletionHandler completionHandler) {
  using Removed = std::expected<void, PlatformError>;
  bool silent = false;
  auto removed =
      simulator::updatePreferences([&](Document& document) -> std::expected<bool, PlatformError> {
        if (isSilent(document, "remove")) {
          silent = true;
          return false;
        }
        if (const Document* faults = fault(document, "remove");
            faults != nullptr && faults->is_object()) {
          if (const auto found = faults->find(identifier_); found != faults->end()) {
            if (auto failure = errorOf(*found)) {
              return std::unexpected(std::move(*failure));
            }
          }
        }
        auto& profiles = document["profiles"];
        for (auto entry = profiles.begin(); entry != profiles.end(); ++entry) {
          if ((*entry)["identifier"] == identifier_) {
            profiles.erase(entry);
            return true;
          }
        }
        return false;  // already gone
      });
  if (silent) {
    return;
  }
  deliver(std::move(completionHandler), Removed(std::move(removed)));
}

}  // namespace kelo
