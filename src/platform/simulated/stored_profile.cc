#include "platform/simulated/stored_profile.h"

namespace kelo::simulator {

namespace {

constexpr char kTunnelProviderType[] = "tunnelProvider";

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
  return entry;
}

}  // namespace kelo::simulator
