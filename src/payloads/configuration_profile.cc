#include "payloads/configuration_profile.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "payloads/name_based_uuid.h"

namespace kelo::mobileconfig {

namespace {

// What the provider configuration holds that a profile never carries.
constexpr char kPrivateKeyMember[] = "private_key";

// A property-list value: a string, an integer, a dictionary or an array.
struct Value {
  enum class Kind { string, integer, dictionary, array };

  Kind kind = Kind::string;
  std::string text;
  std::int64_t integer = 0;
  std::vector<std::string> keys;  // a dictionary's, one per item
  std::vector<Value> items;

  static Value string(std::string text) { return {Kind::string, std::move(text), 0, {}, {}}; }
  static Value number(std::int64_t integer) { return {Kind::integer, {}, integer, {}, {}}; }
  static Value flag(bool on) { return number(on ? 1 : 0); }
  static Value dictionary() { return {Kind::dictionary, {}, 0, {}, {}}; }
  static Value array() { return {Kind::array, {}, 0, {}, {}}; }

  Value& set(std::string key, Value value) {
    keys.push_back(std::move(key));
    items.push_back(std::move(value));
    return *this;
  }
  Value& add(Value value) {
    items.push_back(std::move(value));
    return *this;
  }
};

void escaped(std::string_view text, std::string& out) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':  // a reader would take a carriage return written as it is for a line feed
        out += "&#13;";
        break;
      default:
        out += c;
    }
  }
}

void element(std::string_view name, std::string_view text, std::size_t depth, std::string& out) {
  out.append(depth, '\t');
  out += '<';
  out += name;
  out += '>';
  escaped(text, out);
  out += "</";
  out += name;
  out += ">\n";
}

void write(const Value& value, std::size_t depth, std::string& out) {
  switch (value.kind) {
    case Value::Kind::string:
      element("string", value.text, depth, out);
      return;
    case Value::Kind::integer:
      element("integer", std::to_string(value.integer), depth, out);
      return;
    case Value::Kind::dictionary:
    case Value::Kind::array:
      break;
  }
  const bool dictionary = value.kind == Value::Kind::dictionary;
  const std::string_view name = dictionary ? "dict" : "array";
  out.append(depth, '\t');
  if (value.items.empty()) {
    out += '<';
    out += name;
    out += "/>\n";
    return;
  }
  out += '<';
  out += name;
  out += ">\n";
  std::vector<std::size_t> order(value.items.size());
  for (std::size_t index = 0; index < order.size(); ++index) {
    order[index] = index;
  }
  if (dictionary) {
    std::ranges::sort(order, {},
                      [&](std::size_t index) -> const std::string& { return value.keys[index]; });
  }
  for (const std::size_t index : order) {
    if (dictionary) {
      element("key", value.keys[index], depth + 1, out);
    }
    write(value.items[index], depth + 1, out);
  }
  out.append(depth, '\t');
  out += "</";
  out += name;
  out += ">\n";
}

constexpr std::string_view actionName(NEOnDemandRuleAction action) {
  switch (action) {
    case NEOnDemandRuleAction::connect:
      return "Connect";
    case NEOnDemandRuleAction::disconnect:
      return "Disconnect";
    case NEOnDemandRuleAction::ignore:
      return "Ignore";
  }
  return "Ignore";
}

Value onDemandRule(const NEOnDemandRule& rule) {
  Value entry = Value::dictionary();
  entry.set("Action", Value::string(std::string(actionName(rule.action))));
  if (rule.interfaceTypeMatch == NEOnDemandRuleInterfaceType::ethernet) {
    entry.set("InterfaceTypeMatch", Value::string("Ethernet"));
  } else if (rule.interfaceTypeMatch == NEOnDemandRuleInterfaceType::wiFi) {
    entry.set("InterfaceTypeMatch", Value::string("WiFi"));
  }
  if (rule.SSIDMatch) {
    Value names = Value::array();
    for (const auto& name : *rule.SSIDMatch) {
      names.add(Value::string(name));
    }
    entry.set("SSIDMatch", std::move(names));
  }
  return entry;
}

Value vpnSettings(const ProfileContents& contents) {
  const NETunnelProviderProtocol& protocol = contents.protocol;
  Value vpn = Value::dictionary();
  vpn.set("AuthenticationMethod", Value::string("Password"))
      .set("ProviderBundleIdentifier",
           Value::string(protocol.providerBundleIdentifier.value_or("")))
      .set("ProviderType", Value::string("packet-tunnel"))
      .set("RemoteAddress", Value::string(protocol.serverAddress.value_or("")))
      .set("IncludeAllNetworks", Value::flag(protocol.includeAllNetworks))
      .set("ExcludeLocalNetworks", Value::flag(protocol.excludeLocalNetworks));
  if (protocol.enforceRoutes) {
    vpn.set("EnforceRoutes", Value::flag(*protocol.enforceRoutes));
  }
  if (!contents.onDemandRules.empty()) {
    Value rules = Value::array();
    for (const auto& rule : contents.onDemandRules) {
      rules.add(onDemandRule(rule));
    }
    vpn.set("OnDemandEnabled", Value::number(1)).set("OnDemandRules", std::move(rules));
  }
  return vpn;
}

// The provider configuration's texts and integers, its private key left out.
Value vendorConfiguration(const NETunnelProviderProtocol& protocol) {
  Value vendor = Value::dictionary();
  if (!protocol.providerConfiguration) {
    return vendor;
  }
  for (const auto& [name, setting] : protocol.providerConfiguration->items()) {
    if (name == kPrivateKeyMember) {
      continue;
    }
    if (setting.is_string()) {
      vendor.set(name, Value::string(setting.get<std::string>()));
    } else if (setting.is_number_integer()) {
      vendor.set(name, Value::number(setting.get<std::int64_t>()));
    }
  }
  return vendor;
}

Value vpnPayload(const ProfileContents& contents, const ProfileUUIDs& uuids) {
  Value payload = Value::dictionary();
  payload.set("PayloadIdentifier", Value::string(std::string(contents.payloadIdentifier) + ".vpn"))
      .set("PayloadType", Value::string(contents.perApp ? "com.apple.vpn.managed.applayer"
                                                        : "com.apple.vpn.managed"))
      .set("PayloadUUID", Value::string(uuids.vpnPayload))
      .set("PayloadVersion", Value::number(1))
      .set("UserDefinedName", Value::string(std::string(contents.name)))
      .set("VPNType", Value::string("VPN"))
      .set("VPNSubType", Value::string(std::string(contents.applicationBundleIdentifier)))
      .set("VPN", vpnSettings(contents))
      .set("VendorConfig", vendorConfiguration(contents.protocol));
  if (contents.perApp) {
    payload.set("VPNUUID", Value::string(uuids.vpn));
  }
  return payload;
}

Value mappingPayload(const ProfileContents& contents, const ProfileUUIDs& uuids) {
  Value mappings = Value::array();
  for (const auto& mapping : contents.mappings) {
    mappings.add(Value::dictionary()
                     .set("Identifier", Value::string(mapping.signingIdentifier))
                     .set("SigningIdentifier", Value::string(mapping.signingIdentifier))
                     .set("DesignatedRequirement", Value::string(mapping.designatedRequirement))
                     .set("VPNUUID", Value::string(uuids.vpn)));
  }
  Value payload = Value::dictionary();
  payload.set("AppLayerVPNMapping", std::move(mappings))
      .set("PayloadIdentifier",
           Value::string(std::string(contents.payloadIdentifier) + ".appmapping"))
      .set("PayloadType", Value::string("com.apple.vpn.managed.appmapping"))
      .set("PayloadUUID", Value::string(uuids.mappingPayload))
      .set("PayloadVersion", Value::number(1));
  return payload;
}

}  // namespace

ProfileUUIDs uuidsFor(std::string_view payloadIdentifier) {
  const std::string identifier(payloadIdentifier);
  // "#" is in no reverse-DNS name: the VPN's UUID is never another profile's or payload's.
  return {.profile = uuid::nameBased(identifier),
          .vpnPayload = uuid::nameBased(identifier + ".vpn"),
          .mappingPayload = uuid::nameBased(identifier + ".appmapping"),
          .vpn = uuid::nameBased(identifier + ".vpn#VPNUUID")};
}

std::string written(const ProfileContents& contents) {
  const ProfileUUIDs uuids = uuidsFor(contents.payloadIdentifier);
  Value payloads = Value::array();
  payloads.add(vpnPayload(contents, uuids));
  if (contents.perApp) {
    payloads.add(mappingPayload(contents, uuids));
  }
  Value profile = Value::dictionary();
  profile.set("PayloadContent", std::move(payloads))
      .set("PayloadDisplayName", Value::string(std::string(contents.name)))
      .set("PayloadIdentifier", Value::string(std::string(contents.payloadIdentifier)))
      .set("PayloadScope", Value::string("System"))
      .set("PayloadType", Value::string("Configuration"))
      .set("PayloadUUID", Value::string(uuids.profile))
      .set("PayloadVersion", Value::number(1));
  if (contents.organization) {
    profile.set("PayloadOrganization", Value::string(std::string(*contents.organization)));
  }
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n";
  write(profile, 0, out);
  out += "</plist>\n";
  return out;
}

bool carries(std::string_view text) {
  for (std::size_t index = 0; index < text.size(); ++index) {
    const auto byte = static_cast<unsigned char>(text[index]);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r') {
      return false;
    }
    if (byte == 0xef &&
        (text.substr(index + 1, 2) == "\xbf\xbe" || text.substr(index + 1, 2) == "\xbf\xbf")) {
      return false;
    }
  }
  return true;
}

}  // namespace kelo::mobileconfig
