#include "platform/simulated/stored_profile.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <utility>

namespace kelo::simulator {

namespace {

constexpr char kTunnelProviderType[] = "tunnelProvider";

constexpr std::array<std::pair<NEOnDemandRuleAction, const char*>, 3> kActionNames = {{
    {NEOnDemandRuleAction::connect, "connect"},
    {NEOnDemandRuleAction::disconnect, "disconnect"},
    {NEOnDemandRuleAction::ignore, "ignore"},
}};
constexpr std::array<std::pair<NEOnDemandRuleInterfaceType, const char*>, 3> kInterfaceNames = {{
    {NEOnDemandRuleInterfaceType::any, "any"},
    {NEOnDemandRuleInterfaceType::ethernet, "ethernet"},
    {NEOnDemandRuleInterfaceType::wiFi, "wifi"},
}};

// The on-demand rules as stored and as read, so that a save of an object that left them alone
// writes back what it could not read as well.
struct StoredOnDemandRules {
  Document stored;
  std::optional<std::vector<NEOnDemandRule>> read;
};

template <class Value, std::size_t Count>
std::optional<Value> named(const std::array<std::pair<Value, const char*>, Count>& names,
                           const Document& text) {
  for (const auto& [value, name] : names) {
    if (text == name) {
      return value;
    }
  }
  return std::nullopt;
}

template <class Value, std::size_t Count>
const char* nameOf(const std::array<std::pair<Value, const char*>, Count>& names, Value value) {
  for (const auto& [known, name] : names) {
    if (known == value) {
      return name;
    }
  }
  return names.front().second;
}

// A protocol of another kind than tunnel-provider, kept as stored.
class StoredProtocol final : public NEVPNProtocol {
 public:
  explicit StoredProtocol(Document stored) : stored(std::move(stored)) {}
  Document stored;
};

std::optional<std::string> optionalText(const Document& object, const char* name) {
  const auto member = object.find(name);
  if (member == object.end() || !member->is_string()) {
    return std::nullopt;
  }
  return member->get<std::string>();
}

bool flag(const Document& object, const char* name) {
  const auto member = object.find(name);
  return member != object.end() && *member == true;
}

std::shared_ptr<NEVPNProtocol> parseProtocol(const Document& entry) {
  const auto stored = entry.find("protocol");
  if (stored == entry.end() || stored->is_null()) {
    return nullptr;
  }
  if ((*stored)["type"] != kTunnelProviderType) {
    return std::make_shared<StoredProtocol>(*stored);
  }
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier = optionalText(*stored, "providerBundleIdentifier");
  protocol->serverAddress = optionalText(*stored, "serverAddress");
  protocol->disconnectOnSleep = flag(*stored, "disconnectOnSleep");
  protocol->includeAllNetworks = flag(*stored, "includeAllNetworks");
  protocol->excludeLocalNetworks = flag(*stored, "excludeLocalNetworks");
  if (const auto routes = stored->find("enforceRoutes");
      routes != stored->end() && routes->is_boolean()) {
    protocol->enforceRoutes = routes->get<bool>();
  }
  if (const auto configuration = stored->find("providerConfiguration");
      configuration != stored->end() && configuration->is_object()) {
    protocol->providerConfiguration = *configuration;
  }
  return protocol;
}

std::optional<std::vector<NEAppRule>> parseRules(const Document& entry) {
  const auto stored = entry.find("appRules");
  if (stored == entry.end() || !stored->is_array()) {
    return std::nullopt;
  }
  std::vector<NEAppRule> rules;
  for (const auto& rule : *stored) {
    const bool object = rule.is_object();
    NEAppRule parsed(object ? optionalText(rule, "signingIdentifier").value_or("") : "",
                     object ? optionalText(rule, "designatedRequirement").value_or("") : "");
    if (object) {
      parsed.matchPath = optionalText(rule, "matchPath");
    }
    rules.push_back(std::move(parsed));
  }
  return rules;
}

// A rule without a known action, interface type or list of names is not read.
std::optional<NEOnDemandRule> parseOnDemandRule(const Document& stored) {
  if (!stored.is_object()) {
    return std::nullopt;
  }
  NEOnDemandRule rule;
  const auto action = named(kActionNames, stored.value("action", Document()));
  const Document type = stored.value("interfaceType", Document());
  const auto interfaceType =
      type.is_null() ? NEOnDemandRuleInterfaceType::any : named(kInterfaceNames, type);
  if (!action || !interfaceType) {
    return std::nullopt;
  }
  rule.action = *action;
  rule.interfaceTypeMatch = *interfaceType;
  if (const auto ssids = stored.find("ssids"); ssids != stored.end() && !ssids->is_null()) {
    if (!ssids->is_array()) {
      return std::nullopt;
    }
    rule.SSIDMatch.emplace();
    for (const auto& name : *ssids) {
      if (!name.is_string()) {
        return std::nullopt;
      }
      rule.SSIDMatch->push_back(name.get<std::string>());
    }
  }
  return rule;
}

// Stored rules that are not a list read as an empty one: the object has rules it cannot read.
std::optional<std::vector<NEOnDemandRule>> parseOnDemandRules(const Document& stored) {
  if (stored.is_null()) {
    return std::nullopt;
  }
  std::vector<NEOnDemandRule> rules;
  for (std::size_t index = 0; stored.is_array() && index < stored.size(); ++index) {
    if (auto parsed = parseOnDemandRule(stored[index])) {
      rules.push_back(std::move(*parsed));
    }
  }
  return rules;
}

Document storedOnDemandRules(const NETunnelProviderManager& manager) {
  const auto* kept = static_cast<const StoredOnDemandRules*>(manager.backendState.get());
  if (kept != nullptr && kept->read == manager.onDemandRules) {
    return kept->stored;
  }
  if (!manager.onDemandRules) {
    return nullptr;
  }
  Document stored = Document::array();
  for (const auto& rule : *manager.onDemandRules) {
    Document entry = {{"action", nameOf(kActionNames, rule.action)},
                      {"interfaceType", nameOf(kInterfaceNames, rule.interfaceTypeMatch)}};
    if (rule.SSIDMatch) {
      entry["ssids"] = *rule.SSIDMatch;
    }
    stored.push_back(std::move(entry));
  }
  return stored;
}

Document storedProtocol(const NEVPNProtocol& protocol) {
  if (const auto* kept = dynamic_cast<const StoredProtocol*>(&protocol)) {
    return kept->stored;
  }
  const auto* provider = dynamic_cast<const NETunnelProviderProtocol*>(&protocol);
  if (provider == nullptr) {
    return nullptr;
  }
  Document stored = {{"type", kTunnelProviderType}};
  if (provider->providerBundleIdentifier) {
    stored["providerBundleIdentifier"] = *provider->providerBundleIdentifier;
  }
  if (provider->serverAddress) {
    stored["serverAddress"] = *provider->serverAddress;
  }
  stored["disconnectOnSleep"] = provider->disconnectOnSleep;
  stored["includeAllNetworks"] = provider->includeAllNetworks;
  stored["excludeLocalNetworks"] = provider->excludeLocalNetworks;
  if (provider->enforceRoutes) {
    stored["enforceRoutes"] = *provider->enforceRoutes;
  }
  if (provider->providerConfiguration) {
    stored["providerConfiguration"] = *provider->providerConfiguration;
  }
  return stored;
}

Document storedRules(const std::vector<NEAppRule>& rules) {
  Document stored = Document::array();
  for (const auto& rule : rules) {
    stored.push_back({{"signingIdentifier", rule.signingIdentifier},
                      {"designatedRequirement", rule.designatedRequirement},
                      {"matchPath", rule.matchPath ? Document(*rule.matchPath) : Document()}});
  }
  return stored;
}

}  // namespace

double secondsSinceEpoch() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

ConnectionState storedConnection(const Document& entry) {
  ConnectionState state;
  const auto connection = entry.find("connection");
  if (connection == entry.end() || !connection->is_object()) {
    return state;
  }
  if (const auto type = connection->find("type"); type != connection->end() && type->is_string()) {
    state.type = type->get<std::string>();
  }
  if (const auto status = connection->find("status");
      status != connection->end() && status->is_number_integer()) {
    state.status = status->get<NEVPNStatus>();
  }
  if (const auto since = connection->find("since");
      since != connection->end() && since->is_number()) {
    state.since = since->get<double>();
  }
  if (const auto previous = connection->find("previous");
      previous != connection->end() && previous->is_number_integer()) {
    state.previous = previous->get<NEVPNStatus>();
  }
  state.failing = connection->value("failing", Document()) == true;
  state.failingError = connection->value("failingError", Document());
  state.lastDisconnectError = connection->value("lastDisconnectError", Document());
  return state;
}

void storeConnection(Document& entry, const ConnectionState& state) {
  auto& connection = entry["connection"];
  if (!connection.is_object()) {
    connection = Document::object();
    connection["type"] = state.type;
  }
  connection["status"] = state.status;
  if (state.since) {
    connection["since"] = *state.since;
  }
  if (state.previous) {
    connection["previous"] = *state.previous;
  }
  if (state.failing) {
    connection["failing"] = true;
    connection["failingError"] = state.failingError;
  } else {
    connection.erase("failing");
    connection.erase("failingError");
  }
}

MacBehaviour storedBehaviour(const Document& document) {
  MacBehaviour behaviour;
  const auto system = document.find("system");
  if (system == document.end() || !system->is_object()) {
    return behaviour;
  }
  const auto seconds = [&](const char* name, double most) -> std::optional<double> {
    const auto value = system->find(name);
    if (value == system->end() || !value->is_number()) {
      return std::nullopt;
    }
    const auto number = value->get<double>();
    return number > 0 && number <= most ? std::optional(number) : std::nullopt;
  };
  behaviour.dropsStartWhileDisconnecting =
      system->value("dropsStartWhileDisconnecting", Document()) == true;
  behaviour.stopSeconds = seconds("stopSeconds", 5);
  behaviour.statusLagSeconds = seconds("statusLagSeconds", 2);
  behaviour.oneEnabled = system->value("oneEnabled", Document()) == true;
  return behaviour;
}

bool runsAtLeast(const Document& document, int major, int minor) {
  const auto system = document.find("system");
  if (system == document.end() || !system->is_object()) {
    return true;
  }
  const auto version = system->find("macOSVersion");
  if (version == system->end() || !version->is_string()) {
    return true;
  }
  int runningMajor = 0;
  int runningMinor = 0;
  const std::string& text = version->get_ref<const std::string&>();
  if (std::sscanf(text.c_str(), "%d.%d", &runningMajor, &runningMinor) < 1) {
    return true;  // not a version: the contract's current macOS
  }
  return runningMajor > major || (runningMajor == major && runningMinor >= minor);
}

Document* findEntry(Document& document, const std::string& identifier) {
  auto& profiles = document["profiles"];
  if (!profiles.is_array()) {
    return nullptr;
  }
  for (auto& entry : profiles) {
    if (entry["identifier"] == identifier) {
      return &entry;
    }
  }
  return nullptr;
}

void readSettings(NETunnelProviderManager& manager, const Document& entry) {
  manager.localizedDescription = optionalText(entry, "localizedDescription");
  manager.enabled = flag(entry, "enabled");
  manager.protocolConfiguration = parseProtocol(entry);
  manager.appRules = parseRules(entry);
  manager.onDemandEnabled = flag(entry, "onDemandEnabled");
  const Document stored = entry.value("onDemandRules", Document());
  manager.onDemandRules = parseOnDemandRules(stored);
  manager.backendState = std::make_shared<StoredOnDemandRules>(stored, manager.onDemandRules);
}

bool storedAsPerApp(const Document& entry) {
  return flag(entry, "perAppVPN");
}

Document storedSettings(const NETunnelProviderManager& manager) {
  Document entry = {{"identifier", manager.identifier()}};
  if (manager.localizedDescription) {
    entry["localizedDescription"] = *manager.localizedDescription;
  }
  entry["enabled"] = manager.enabled;
  entry["perAppVPN"] = manager.isPerAppVPN();
  if (manager.protocolConfiguration) {
    entry["protocol"] = storedProtocol(*manager.protocolConfiguration);
  }
  if (manager.appRules) {
    entry["appRules"] = storedRules(*manager.appRules);
  }
  // A profile that never had on-demand settings is stored without them.
  if (Document rules = storedOnDemandRules(manager); manager.onDemandEnabled || !rules.is_null()) {
    entry["onDemandEnabled"] = manager.onDemandEnabled;
    entry["onDemandRules"] = std::move(rules);
  }
  return entry;
}

std::optional<Network> storedNetwork(const Document& document) {
  const auto network = document.find("network");
  if (network == document.end() || !network->is_object()) {
    return std::nullopt;
  }
  const auto interfaceType = named(kInterfaceNames, network->value("interfaceType", Document()));
  if (!interfaceType || *interfaceType == NEOnDemandRuleInterfaceType::any) {
    return std::nullopt;
  }
  Network stored{.interfaceType = *interfaceType, .ssid = std::nullopt};
  if (const auto ssid = network->find("ssid"); ssid != network->end() && ssid->is_string()) {
    stored.ssid = ssid->get<std::string>();
  }
  return stored;
}

}  // namespace kelo::simulator
