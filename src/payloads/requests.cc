#include "payloads/requests.h"

#include <algorithm>
#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <utility>

#include "payloads/configuration_profile.h"
#include "payloads/status_payload.h"
#include "platform/bounded_json.h"

namespace kelo {

namespace {

using Json = nlohmann::json;

constexpr std::array<std::string_view, 15> kConnectMemberNames = {
    "privateKey",   "address",       "dns",           "peerPublicKey",
    "peerEndpoint", "allowedIps",    "mtu",           "keepaliveSeconds",
    "excludedApps", "onDemandRules", "networkPolicy", "staleProfiles",
    "ruleCoverage", "missingApps",   "takeOver"};
constexpr std::array<std::string_view, 3> kAppRuleMemberNames = {"excludedApps", "ruleCoverage",
                                                                 "missingApps"};

// The members beyond the first request's, which a request may name only once: a later duplicate
// must never hide a value the tool would refuse, nor turn a safety setting around unnoticed.
// The first members keep their decoding, in which the last duplicate wins.
constexpr std::array<std::string_view, 7> kMembersNamedOnce = {
    "onDemandRules", "networkPolicy", "staleProfiles", "ruleCoverage",
    "missingApps",   "export",        "takeOver"};
// The members of the objects above that a request may name only once too.
constexpr std::array<std::string_view, 2> kObjectsNamedOnce = {"networkPolicy", "export"};

constexpr std::array<std::string_view, 4> kExportMemberNames = {
    "payloadIdentifier", "applicationBundleIdentifier", "organization", "apps"};
// A payload identifier is at most this long, as a bundle identifier is.
constexpr std::size_t kMaximumIdentifierBytes = 255;

// The settings of "networkPolicy", in the order a failure names them.
constexpr std::array<std::pair<std::string_view, std::optional<bool> NetworkPolicy::*>, 4>
    kPolicySettings = {{
        {"includeAllNetworks", &NetworkPolicy::includeAllNetworks},
        {"excludeLocalNetworks", &NetworkPolicy::excludeLocalNetworks},
        {"enforceRoutes", &NetworkPolicy::enforceRoutes},
        {"disconnectOnSleep", &NetworkPolicy::disconnectOnSleep},
    }};

template <class Value>
using Words = std::array<std::pair<Value, std::string_view>, 3>;

constexpr Words<NEOnDemandRuleAction> kActionWords = {{
    {NEOnDemandRuleAction::connect, "connect"},
    {NEOnDemandRuleAction::disconnect, "disconnect"},
    {NEOnDemandRuleAction::ignore, "ignore"},
}};
constexpr Words<NEOnDemandRuleInterfaceType> kInterfaceWords = {{
    {NEOnDemandRuleInterfaceType::any, "any"},
    {NEOnDemandRuleInterfaceType::ethernet, "ethernet"},
    {NEOnDemandRuleInterfaceType::wiFi, "wifi"},
}};

std::unexpected<Error> decodingError(std::string description) {
  return std::unexpected(Error{ManagerError::invalidInput(std::move(description))});
}

std::string typeName(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "an object";
    default:
      return "a number";
  }
}

std::string quoted(std::string_view name) {
  std::string text;
  text.reserve(name.size() + 2);
  text += '"';
  text += name;
  text += '"';
  return text;
}

// A description that begins a sentence, continued inside another one.
std::string lowercased(std::string text) {
  if (!text.empty() && text.front() >= 'A' && text.front() <= 'Z') {
    text.front() = static_cast<char>(text.front() - 'A' + 'a');
  }
  return text;
}

using Request = json::Parsed<Json>;

// Parses one document; a document is never handed out half-built.
Result<Request> parseDocument(std::string_view bytes) {
  using Kind = json::ParseFailure::Kind;
  auto parsed = json::parse<Json>(bytes, {kMaximumRequestBytes, kMaximumRequestDepth});
  if (parsed) {
    return std::move(*parsed);
  }
  const json::ParseFailure& failure = parsed.error();
  switch (failure.kind) {
    case Kind::tooLarge:
      return decodingError("The request is larger than " +
                           std::to_string(kMaximumRequestBytes >> 20) + " MiB.");
    case Kind::nulByte:
      return decodingError("The request is not valid JSON at byte " + std::to_string(failure.byte) +
                           ": a NUL byte.");
    case Kind::tooDeep:
      return decodingError("The request nests deeper than " + std::to_string(kMaximumRequestDepth) +
                           " levels.");
    case Kind::numberTooLarge:
      return decodingError("The request is not valid JSON: it holds a number too large to read.");
    case Kind::invalid:
      break;
  }
  return decodingError("The request is not valid JSON at byte " + std::to_string(failure.byte) +
                       ": " + failure.reason + ".");
}

// The request document, which must be one JSON object.
Result<Request> parseRequestObject(std::string_view bytes) {
  auto request = parseDocument(bytes);
  if (request && !request->document.is_object()) {
    return decodingError("The request is " + typeName(request->document) +
                         "; expected a JSON object.");
  }
  return request;
}

Result<std::string> requiredString(const Json& object, std::string_view name) {
  const auto member = object.find(name);
  if (member == object.end()) {
    return decodingError("The request has no member " + quoted(name) + "; it must be a string.");
  }
  if (!member->is_string()) {
    return decodingError("Member " + quoted(name) + " of the request is " + typeName(*member) +
                         "; expected a string.");
  }
  return member->get<std::string>();
}

// A member that is not an integer, or does not fit in 64 bits, is quoted as the caller wrote
// it, whatever its sign.
Result<std::optional<std::int64_t>> optionalInteger(const Request& request, std::string_view name) {
  const Json& object = request.document;
  const auto member = object.find(name);
  if (member == object.end() || member->is_null()) {
    return std::nullopt;
  }
  if (member->is_number_integer() && !member->is_number_unsigned()) {
    return member->get<std::int64_t>();
  }
  if (!member->is_number()) {
    return decodingError("Member " + quoted(name) + " of the request is " + typeName(*member) +
                         "; expected an integer.");
  }
  std::string written;
  if (member->is_number_unsigned()) {
    const auto value = member->get<std::uint64_t>();
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return static_cast<std::int64_t>(value);
    }
    written = std::to_string(value);  // the digits as written: JSON has no leading zeros
  } else {
    std::string pointer(1, '/');  // the member's JSON pointer
    pointer += name;
    written = request.numberTexts.at(pointer);
  }
  if (written.find_first_of(".eE") == std::string::npos) {
    return decodingError("Member " + quoted(name) + " of the request is " + written +
                         ", which does not fit in a signed 64-bit integer.");
  }
  return decodingError("Member " + quoted(name) + " of the request is " + written +
                       "; expected an integer.");
}

Result<std::vector<std::string>> requiredStringList(const Json& object, std::string_view name,
                                                    std::string_view of = "the request") {
  const auto member = object.find(name);
  if (member == object.end()) {
    return decodingError("The request has no member " + quoted(name) +
                         "; it must be a list of strings.");
  }
  if (!member->is_array()) {
    return decodingError("Member " + quoted(name) + " of " + std::string(of) + " is " +
                         typeName(*member) + "; expected a list of strings.");
  }
  std::vector<std::string> strings;
  strings.reserve(member->size());
  for (std::size_t index = 0; index < member->size(); ++index) {
    const Json& element = (*member)[index];
    if (!element.is_string()) {
      return decodingError("Element " + std::to_string(index) + " of member " + quoted(name) +
                           " of " + std::string(of) + " is " + typeName(element) +
                           "; expected a string.");
    }
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

// The words a member may be, as a failure names them: "a", "b" or "c".
template <class Value>
std::string choices(const Words<Value>& words) {
  return quoted(words[0].second) + ", " + quoted(words[1].second) + " or " +
         quoted(words[2].second);
}

// A member of a rule that must be one of `words`: `fallback` when it is absent or null, where
// the member has one.
template <class Value>
Result<Value> ruleWord(const Json& rule, std::string_view name, const std::string& where,
                       const Words<Value>& words, std::optional<Value> fallback) {
  const auto member = rule.find(name);
  if (fallback && (member == rule.end() || member->is_null())) {
    return *fallback;
  }
  if (member == rule.end()) {
    return decodingError(where + " has no member " + quoted(name) + "; it must be " +
                         choices(words) + ".");
  }
  for (const auto& [value, word] : words) {
    if (*member == word) {
      return value;
    }
  }
  const std::string what = member->is_string() ? "a string other than " + choices(words)
                                               : typeName(*member) + "; expected " + choices(words);
  return decodingError("Member " + quoted(name) + " of " + lowercased(where) + " is " + what + ".");
}

// The Wi-Fi names of a rule: none when absent or null.
Result<std::optional<std::vector<std::string>>> ruleNetworkNames(
    const Json& rule, NEOnDemandRuleInterfaceType interfaceType, const std::string& where) {
  const auto member = rule.find("ssids");
  if (member == rule.end() || member->is_null()) {
    return std::nullopt;
  }
  const std::string names = "Member \"ssids\" of " + lowercased(where);
  if (!member->is_array()) {
    return decodingError(names + " is " + typeName(*member) +
                         "; expected a list of Wi-Fi network names.");
  }
  if (interfaceType != NEOnDemandRuleInterfaceType::wiFi) {
    return decodingError(names +
                         " names Wi-Fi networks, but its \"interfaceType\" is not \"wifi\".");
  }
  if (member->empty()) {
    return decodingError(names + " is an empty list; leave it out to match every Wi-Fi network.");
  }
  if (member->size() > kMaximumNetworkNames) {
    return decodingError(names + " has " + std::to_string(member->size()) + " names; at most " +
                         std::to_string(kMaximumNetworkNames) + " are allowed.");
  }
  std::vector<std::string> texts;
  for (std::size_t index = 0; index < member->size(); ++index) {
    const Json& name = (*member)[index];
    const std::string element = "Element " + std::to_string(index) + " of " + lowercased(names);
    if (!name.is_string()) {
      return decodingError(element + " is " + typeName(name) + "; expected a string.");
    }
    const auto& text = name.get_ref<const std::string&>();
    if (text.empty() || text.size() > kMaximumNetworkNameBytes) {
      return decodingError(element + " is " + std::to_string(text.size()) +
                           " bytes long; a Wi-Fi network name is 1 to " +
                           std::to_string(kMaximumNetworkNameBytes) + " bytes.");
    }
    texts.push_back(text);
  }
  return texts;
}

// The on-demand rules: none when the member is absent or null.
Result<std::vector<NEOnDemandRule>> optionalOnDemandRules(const Json& object,
                                                          std::string_view name) {
  const auto member = object.find(name);
  if (member == object.end() || member->is_null()) {
    return std::vector<NEOnDemandRule>{};
  }
  if (!member->is_array()) {
    return decodingError("Member " + quoted(name) + " of the request is " + typeName(*member) +
                         "; expected a list of on-demand rules.");
  }
  if (member->size() > kMaximumOnDemandRules) {
    return decodingError("Member " + quoted(name) + " of the request has " +
                         std::to_string(member->size()) + " rules; at most " +
                         std::to_string(kMaximumOnDemandRules) + " are allowed.");
  }
  std::vector<NEOnDemandRule> rules;
  for (std::size_t index = 0; index < member->size(); ++index) {
    const Json& rule = (*member)[index];
    const std::string where =
        "Element " + std::to_string(index) + " of member " + quoted(name) + " of the request";
    if (!rule.is_object()) {
      return decodingError(where + " is " + typeName(rule) + "; expected an object.");
    }
    const auto action = ruleWord<NEOnDemandRuleAction>(rule, "action", where, kActionWords, {});
    if (!action) {
      return std::unexpected(action.error());
    }
    const auto interfaceType = ruleWord(rule, "interfaceType", where, kInterfaceWords,
                                        std::optional(NEOnDemandRuleInterfaceType::any));
    if (!interfaceType) {
      return std::unexpected(interfaceType.error());
    }
    auto names = ruleNetworkNames(rule, *interfaceType, where);
    if (!names) {
      return std::unexpected(names.error());
    }
    rules.push_back({*action, *interfaceType, std::move(*names)});
  }
  return rules;
}

// The traffic settings: none when the member is absent or null. A setting the tool does not
// know is refused, unlike an unknown member of the request: a misspelt safety setting must
// never leave the tunnel otherwise than the caller chose.
Result<NetworkPolicy> optionalNetworkPolicy(const Json& object, std::string_view name) {
  NetworkPolicy policy;
  const auto member = object.find(name);
  if (member == object.end() || member->is_null()) {
    return policy;
  }
  const std::string where = "Member " + quoted(name) + " of the request";
  if (!member->is_object()) {
    return decodingError(where + " is " + typeName(*member) + "; expected an object of booleans.");
  }
  for (const auto& [setting, value] : member->items()) {
    const auto known = std::ranges::find(kPolicySettings, std::string_view(setting),
                                         &decltype(kPolicySettings)::value_type::first);
    if (known == kPolicySettings.end()) {
      return decodingError("Member " + kelo::quoted(setting) + " of " + lowercased(where) +
                           " is not a setting the tool knows; the settings are "
                           "\"includeAllNetworks\", \"excludeLocalNetworks\", \"enforceRoutes\" "
                           "and \"disconnectOnSleep\".");
    }
    if (value.is_null()) {
      continue;
    }
    if (!value.is_boolean()) {
      return decodingError("Member " + kelo::quoted(setting) + " of " + lowercased(where) + " is " +
                           typeName(value) + "; expected a boolean.");
    }
    policy.*(known->second) = value.get<bool>();
  }
  return policy;
}

// One of two words, or `fallback` when absent or null.
template <class Value>
Result<Value> optionalChoice(const Json& object, std::string_view name,
                             const std::array<std::pair<std::string_view, Value>, 2>& words,
                             Value fallback) {
  const auto member = object.find(name);
  if (member == object.end() || member->is_null()) {
    return fallback;
  }
  for (const auto& [word, value] : words) {
    if (*member == word) {
      return value;
    }
  }
  const std::string what =
      member->is_string() ? "a string other than" : typeName(*member) + "; expected";
  return decodingError("Member " + quoted(name) + " of the request is " + what + " " +
                       quoted(words[0].first) + " or " + quoted(words[1].first) + ".");
}

constexpr std::array<std::pair<std::string_view, StaleProfiles>, 2> kStaleProfileWords = {{
    {"removeFirst", StaleProfiles::removeFirst},
    {"removeAfterSave", StaleProfiles::removeAfterSave},
}};
constexpr std::array<std::pair<std::string_view, std::optional<RuleCoverage>>, 2> kCoverageWords = {
    {
        {"firstExecutable", RuleCoverage::firstExecutable},
        {"wholeApplication", RuleCoverage::wholeApplication},
    }};
constexpr std::array<std::pair<std::string_view, MissingApps>, 2> kMissingAppWords = {{
    {"fail", MissingApps::fail},
    {"skip", MissingApps::skip},
}};

// The rule choices that "connect" and "update-app-rules" share.
template <class Payload>
Result<void> decodeRuleChoices(const Json& members, std::string_view coverageName,
                               std::string_view missingName, Payload& payload) {
  const auto coverage =
      optionalChoice(members, coverageName, kCoverageWords, std::optional<RuleCoverage>());
  if (!coverage) {
    return std::unexpected(coverage.error());
  }
  payload.ruleCoverage = *coverage;
  const auto missing = optionalChoice(members, missingName, kMissingAppWords, MissingApps::fail);
  if (!missing) {
    return std::unexpected(missing.error());
  }
  payload.missingApps = *missing;
  return {};
}

// A member beyond the first request's that is written twice, at the top or within
// "networkPolicy", is refused, naming it.
Result<void> namedOnce(const Request& request) {
  for (const std::string& pointer : request.repeatedMembers) {
    const auto name = std::string_view(pointer).substr(1);
    const auto top = name.substr(0, name.find('/'));
    if (std::ranges::find(kMembersNamedOnce, top) == kMembersNamedOnce.end()) {
      continue;
    }
    if (top.size() == name.size()) {
      return decodingError("Member " + quoted(name) + " of the request is given more than once.");
    }
    const auto setting = name.substr(top.size() + 1);
    if (std::ranges::find(kObjectsNamedOnce, top) != kObjectsNamedOnce.end() &&
        setting.find('/') == std::string_view::npos) {
      return decodingError("Member " + quoted(setting) + " of member " + quoted(top) +
                           " of the request is given more than once.");
    }
  }
  return {};
}

// The statuses a wait ends at: the default when absent or null.
Result<std::vector<NEVPNStatus>> optionalStatusWords(const Json& object, std::string_view name,
                                                     std::vector<NEVPNStatus> fallback) {
  const auto member = object.find(name);
  if (member == object.end() || member->is_null()) {
    return fallback;
  }
  const std::string where = "Member " + quoted(name) + " of the request";
  if (!member->is_array()) {
    return decodingError(where + " is " + typeName(*member) + "; expected a list of statuses.");
  }
  if (member->empty()) {
    return decodingError(where +
                         " is an empty list; leave it out to wait for \"invalid\", "
                         "\"disconnected\" or \"connected\".");
  }
  std::vector<NEVPNStatus> statuses;
  for (std::size_t index = 0; index < member->size(); ++index) {
    const Json& word = (*member)[index];
    const std::string element = "Element " + std::to_string(index) + " of " + lowercased(where);
    if (!word.is_string()) {
      return decodingError(element + " is " + typeName(word) + "; expected a status.");
    }
    const auto known = std::ranges::find(kStatusWords, word.get_ref<const std::string&>());
    if (known == kStatusWords.end()) {
      return decodingError(element + " is " + kelo::quoted(word.get_ref<const std::string&>()) +
                           ", which is not a status; the statuses are \"invalid\", "
                           "\"disconnected\", \"connecting\", \"connected\", \"reasserting\" "
                           "and \"disconnecting\".");
    }
    statuses.push_back(static_cast<NEVPNStatus>(known - kStatusWords.begin()));
  }
  return statuses;
}

// A number of seconds greater than 0 and at most `maximum`: `maximum` when absent or null.
Result<double> optionalSeconds(const Request& request, std::string_view name, double maximum) {
  const auto member = request.document.find(name);
  if (member == request.document.end() || member->is_null()) {
    return maximum;
  }
  const std::string where = "Member " + quoted(name) + " of the request";
  if (!member->is_number()) {
    return decodingError(where + " is " + typeName(*member) + "; expected a number of seconds.");
  }
  const double seconds = member->get<double>();
  if (seconds > 0 && seconds <= maximum) {
    return seconds;
  }
  std::string written;
  if (member->is_number_unsigned()) {
    written = std::to_string(member->get<std::uint64_t>());
  } else if (member->is_number_integer()) {
    written = std::to_string(member->get<std::int64_t>());
  } else {
    written = request.numberTexts.at("/" + std::string(name));
  }
  return decodingError(where + " is " + written + "; it must be greater than 0 and at most " +
                       std::to_string(static_cast<int>(maximum)) + ".");
}

bool onlyWhiteSpace(std::string_view bytes) {
  return bytes.find_first_not_of(" \t\n\r") == std::string_view::npos;
}

enum class PrivateKey { required, optional };

// The members of a connect request, read in declaration order; the first bad one ends the
// decoding.
Result<ConnectPayload> decodeConnect(const Request& request, PrivateKey privateKey) {
  using Key = ConnectPayload::CodingKeys;
  const Json& members = request.document;
  if (auto once = namedOnce(request); !once) {
    return std::unexpected(once.error());
  }
  ConnectPayload payload;
  const std::pair<Key, std::string*> texts[] = {
      {Key::privateKey, &payload.privateKey},
      {Key::address, &payload.address},
      {Key::dns, &payload.dns},
      {Key::peerPublicKey, &payload.peerPublicKey},
      {Key::peerEndpoint, &payload.peerEndpoint},
      {Key::allowedIps, &payload.allowedIps},
  };
  for (const auto& [key, field] : texts) {
    if (key == Key::privateKey && privateKey == PrivateKey::optional &&
        !members.contains(stringValue(key))) {
      continue;
    }
    auto text = requiredString(members, stringValue(key));
    if (!text) {
      return std::unexpected(text.error());
    }
    *field = std::move(*text);
  }
  const std::pair<Key, std::optional<std::int64_t>*> integers[] = {
      {Key::mtu, &payload.mtu}, {Key::keepaliveSeconds, &payload.keepaliveSeconds}};
  for (const auto& [key, field] : integers) {
    const auto integer = optionalInteger(request, stringValue(key));
    if (!integer) {
      return std::unexpected(integer.error());
    }
    *field = *integer;
  }
  auto excluded = requiredStringList(members, stringValue(Key::excludedApps));
  if (!excluded) {
    return std::unexpected(excluded.error());
  }
  payload.excludedApps = std::move(*excluded);
  auto onDemandRules = optionalOnDemandRules(members, stringValue(Key::onDemandRules));
  if (!onDemandRules) {
    return std::unexpected(onDemandRules.error());
  }
  payload.onDemandRules = std::move(*onDemandRules);
  auto policy = optionalNetworkPolicy(members, stringValue(Key::networkPolicy));
  if (!policy) {
    return std::unexpected(policy.error());
  }
  payload.networkPolicy = *policy;
  const auto stale = optionalChoice(members, stringValue(Key::staleProfiles), kStaleProfileWords,
                                    StaleProfiles::removeFirst);
  if (!stale) {
    return std::unexpected(stale.error());
  }
  payload.staleProfiles = *stale;
  if (auto choices = decodeRuleChoices(members, stringValue(Key::ruleCoverage),
                                       stringValue(Key::missingApps), payload);
      !choices) {
    return std::unexpected(choices.error());
  }
  if (const auto takeOver = members.find(stringValue(Key::takeOver));
      takeOver != members.end() && !takeOver->is_null()) {
    if (!takeOver->is_boolean()) {
      return decodingError("Member \"takeOver\" of the request is " + typeName(*takeOver) +
                           "; expected a boolean.");
    }
    payload.takeOver = takeOver->get<bool>();
  }
  // Per-app rules send only the applications they name through the tunnel, which a kill switch
  // contradicts.
  if (payload.networkPolicy.includeAllNetworks == true && !payload.excludedApps.empty()) {
    return decodingError(
        "Member \"includeAllNetworks\" of member \"networkPolicy\" of the request is true, "
        "which sends every application through the tunnel, but \"excludedApps\" names "
        "applications to keep out of it.");
  }
  return payload;
}

Result<void> carried(std::string_view text, const std::string& where) {
  if (mobileconfig::carries(text)) {
    return {};
  }
  return decodingError(
      where +
      " holds a character that a configuration profile cannot carry: a control character "
      "other than tab, line feed and carriage return, U+FFFE or U+FFFF.");
}

// Letters, digits and hyphens in at least two labels separated by dots.
bool isReverseDNSName(std::string_view name) {
  if (name.empty() || name.size() > kMaximumIdentifierBytes || name.front() == '.' ||
      name.back() == '.' || name.find("..") != std::string_view::npos ||
      name.find('.') == std::string_view::npos) {
    return false;
  }
  return std::ranges::all_of(name, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.';
  });
}

// The texts of a connect request that an exported profile carries.
Result<void> checkExportedTexts(const ConnectPayload& connect) {
  using Key = ConnectPayload::CodingKeys;
  const std::pair<Key, const std::string*> texts[] = {
      {Key::address, &connect.address},
      {Key::dns, &connect.dns},
      {Key::peerPublicKey, &connect.peerPublicKey},
      {Key::peerEndpoint, &connect.peerEndpoint},
      {Key::allowedIps, &connect.allowedIps},
  };
  for (const auto& [key, text] : texts) {
    if (auto fine = carried(*text, "Member " + quoted(stringValue(key)) + " of the request");
        !fine) {
      return fine;
    }
  }
  for (const auto& rule : connect.onDemandRules) {
    for (const auto& name : rule.SSIDMatch.value_or(std::vector<std::string>{})) {
      if (auto fine = carried(name,
                              "A Wi-Fi network name of member \"onDemandRules\" of the "
                              "request");
          !fine) {
        return fine;
      }
    }
  }
  if (!connect.excludedApps.empty()) {
    return decodingError(
        "Member \"excludedApps\" of the request names applications to keep out of the tunnel, "
        "which an exported profile cannot carry; name the applications to send through it in "
        "member \"apps\" of member \"export\".");
  }
  return {};
}

// The "export" member: an object of known members only, as a misspelt name must not leave a
// profile otherwise than the caller chose.
Result<ExportSettings> decodeExportSettings(const Json& members) {
  using Key = ExportSettings::CodingKeys;
  const auto member = members.find("export");
  if (member == members.end()) {
    return decodingError("The request has no member \"export\"; it must be an object.");
  }
  const std::string where = "member \"export\" of the request";
  if (!member->is_object()) {
    return decodingError("Member \"export\" of the request is " + typeName(*member) +
                         "; expected an object.");
  }
  for (const auto& [name, value] : member->items()) {
    if (std::ranges::find(kExportMemberNames, std::string_view(name)) == kExportMemberNames.end()) {
      return decodingError("Member " + kelo::quoted(name) + " of " + where +
                           " is not one the tool knows; the members are "
                           "\"payloadIdentifier\", \"applicationBundleIdentifier\", "
                           "\"organization\" and \"apps\".");
    }
  }
  ExportSettings settings;
  const std::pair<Key, std::string*> names[] = {
      {Key::payloadIdentifier, &settings.payloadIdentifier},
      {Key::applicationBundleIdentifier, &settings.applicationBundleIdentifier},
  };
  for (const auto& [key, field] : names) {
    const auto name = stringValue(key);
    const auto value = member->find(name);
    if (value == member->end() || !value->is_string()) {
      return decodingError(
          (value == member->end()
               ? "Member \"export\" of the request has no member " + quoted(name) + "; it must be"
               : "Member " + quoted(name) + " of " + where + " is " + typeName(*value) +
                     "; expected") +
          " a reverse-DNS name such as \"com.example.vpn\".");
    }
    *field = value->get<std::string>();
    if (!isReverseDNSName(*field)) {
      return decodingError("Member " + quoted(name) + " of " + where + " is " +
                           kelo::quoted(*field) +
                           ", which is not a reverse-DNS name: letters, digits and hyphens in "
                           "at least two labels separated by dots, at most " +
                           std::to_string(kMaximumIdentifierBytes) + " bytes.");
    }
  }
  if (const auto organization = member->find(stringValue(Key::organization));
      organization != member->end() && !organization->is_null()) {
    if (!organization->is_string()) {
      return decodingError("Member \"organization\" of " + where + " is " +
                           typeName(*organization) + "; expected a string.");
    }
    settings.organization = organization->get<std::string>();
    if (auto fine = carried(*settings.organization, "Member \"organization\" of " + where); !fine) {
      return std::unexpected(fine.error());
    }
  }
  if (const auto apps = member->find(stringValue(Key::apps));
      apps != member->end() && !apps->is_null()) {
    auto list = requiredStringList(*member, stringValue(Key::apps), where);
    if (!list) {
      return std::unexpected(list.error());
    }
    settings.apps = std::move(*list);
  }
  return settings;
}

}  // namespace

std::string_view stringValue(ConnectPayload::CodingKeys key) {
  return kConnectMemberNames[static_cast<std::size_t>(key)];
}

std::string_view stringValue(AppRulePayload::CodingKeys key) {
  return kAppRuleMemberNames[static_cast<std::size_t>(key)];
}

std::string_view stringValue(ExportSettings::CodingKeys key) {
  return kExportMemberNames[static_cast<std::size_t>(key)];
}

std::string_view stringValue(WaitPayload::CodingKeys key) {
  return key == WaitPayload::CodingKeys::until ? "until" : "timeoutSeconds";
}

Result<ConnectPayload> ConnectPayload::decode(std::string_view json) {
  const auto request = parseRequestObject(json);
  if (!request) {
    return std::unexpected(request.error());
  }
  return decodeConnect(*request, PrivateKey::required);
}

Result<ExportPayload> ExportPayload::decode(std::string_view json) {
  const auto request = parseRequestObject(json);
  if (!request) {
    return std::unexpected(request.error());
  }
  auto connect = decodeConnect(*request, PrivateKey::optional);
  if (!connect) {
    return std::unexpected(connect.error());
  }
  if (auto texts = checkExportedTexts(*connect); !texts) {
    return std::unexpected(texts.error());
  }
  auto settings = decodeExportSettings(request->document);
  if (!settings) {
    return std::unexpected(settings.error());
  }
  return ExportPayload{.connect = std::move(*connect),
                       .privateKeyGiven = request->document.contains("privateKey"),
                       .settings = std::move(*settings)};
}

Result<AppRulePayload> AppRulePayload::decode(std::string_view json) {
  const auto request = parseRequestObject(json);
  if (!request) {
    return std::unexpected(request.error());
  }
  if (auto once = namedOnce(*request); !once) {
    return std::unexpected(once.error());
  }
  auto excluded = requiredStringList(request->document, stringValue(CodingKeys::excludedApps));
  if (!excluded) {
    return std::unexpected(excluded.error());
  }
  AppRulePayload payload{std::move(*excluded)};
  if (auto choices = decodeRuleChoices(request->document, stringValue(CodingKeys::ruleCoverage),
                                       stringValue(CodingKeys::missingApps), payload);
      !choices) {
    return std::unexpected(choices.error());
  }
  return payload;
}

Result<WaitPayload> WaitPayload::decode(std::string_view json) {
  WaitPayload payload;
  if (onlyWhiteSpace(json)) {
    return payload;
  }
  const auto request = parseRequestObject(json);
  if (!request) {
    return std::unexpected(request.error());
  }
  auto until =
      optionalStatusWords(request->document, stringValue(CodingKeys::until), payload.until);
  if (!until) {
    return std::unexpected(until.error());
  }
  payload.until = std::move(*until);
  const auto timeout =
      optionalSeconds(*request, stringValue(CodingKeys::timeoutSeconds), kMaximumWaitSeconds);
  if (!timeout) {
    return std::unexpected(timeout.error());
  }
  payload.timeoutSeconds = *timeout;
  return payload;
}

}  // namespace kelo
