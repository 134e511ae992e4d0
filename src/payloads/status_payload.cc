#include "payloads/status_payload.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace kelo {

namespace {

using Json = nlohmann::ordered_json;

// Messages may carry file names or command words that are not valid UTF-8; they are written
// with replacement characters rather than failing the one document the caller reads.
std::string compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

constexpr std::string_view actionWord(NEOnDemandRuleAction action) {
  switch (action) {
    case NEOnDemandRuleAction::connect:
      return "connect";
    case NEOnDemandRuleAction::disconnect:
      return "disconnect";
    case NEOnDemandRuleAction::ignore:
      return "ignore";
  }
  return "ignore";
}

constexpr std::string_view interfaceWord(NEOnDemandRuleInterfaceType type) {
  switch (type) {
    case NEOnDemandRuleInterfaceType::any:
      return "any";
    case NEOnDemandRuleInterfaceType::ethernet:
      return "ethernet";
    case NEOnDemandRuleInterfaceType::wiFi:
      return "wifi";
  }
  return "any";
}

constexpr std::string_view reasonWord(SkipReason reason) {
  constexpr std::array<std::string_view, 9> kWords = {
      "notSigned",  "noIdentifier", "noRequirement", "notUtf8",     "outputTooLarge",
      "notStarted", "noExecutable", "systemApp",     "notInstalled"};
  return kWords[static_cast<std::size_t>(reason)];
}

// An on-demand rule in the form a "connect" request names it.
Json requestForm(const NEOnDemandRule& rule) {
  Json form = {{"action", actionWord(rule.action)},
               {"interfaceType", interfaceWord(rule.interfaceTypeMatch)}};
  if (rule.SSIDMatch) {
    form["ssids"] = *rule.SSIDMatch;
  }
  return form;
}

Json errorForm(const std::optional<PlatformError>& error) {
  if (!error) {
    return nullptr;
  }
  Json form = {{"message", error->localizedDescription}, {"domain", nullptr}, {"code", nullptr}};
  if (error->cause) {
    form["domain"] = error->cause->domain;
    form["code"] = error->cause->code;
  }
  return form;
}

template <class Value>
Json orNull(const std::optional<Value>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

StatusPayload StatusPayload::notConfigured() {
  return {.configured = false,
          .connected = false,
          .connecting = false,
          .disconnecting = false,
          .status = "invalid",
          .perAppMode = false,
          .appRuleCount = 0};
}

std::string StatusPayload::encoded(Protocol protocol) const {
  Json document = {
      {"configured", configured},       {"connected", connected}, {"connecting", connecting},
      {"disconnecting", disconnecting}, {"status", status},       {"perAppMode", perAppMode},
      {"appRuleCount", appRuleCount},
  };
  if (protocol == Protocol::one) {
    return compact(document);
  }
  document["serverAddress"] = orNull(serverAddress);
  document["connectedSince"] = connectedSince ? Json(rfc3339(*connectedSince)) : Json(nullptr);
  document["lastDisconnectError"] = errorForm(lastDisconnectError);
  Json rules = Json::array();
  for (const auto& rule : onDemandRules) {
    rules.push_back(requestForm(rule));
  }
  document["onDemand"] = {{"enabled", onDemandEnabled}, {"rules", std::move(rules)}};
  document["networkPolicy"] = nullptr;
  if (networkPolicy) {
    document["networkPolicy"] = {{"includeAllNetworks", networkPolicy->includeAllNetworks},
                                 {"excludeLocalNetworks", networkPolicy->excludeLocalNetworks},
                                 {"disconnectOnSleep", networkPolicy->disconnectOnSleep},
                                 {"enforceRoutes", networkPolicy->enforceRoutes}};
  }
  Json named = Json::array();
  for (const auto& rule : appRules) {
    named.push_back(
        {{"signingIdentifier", rule.signingIdentifier}, {"matchPath", orNull(rule.matchPath)}});
  }
  document["appRules"] = std::move(named);
  document["enabled"] = orNull(enabled);
  document["displaced"] = configured && enabled == false;
  if (skippedApplications) {
    Json skipped = Json::array();
    for (const auto& application : *skippedApplications) {
      skipped.push_back({{"path", application.path}, {"reason", reasonWord(application.reason)}});
    }
    document["skippedApplications"] = std::move(skipped);
  }
  return compact(document);
}

std::string VersionPayload::encoded() const {
  return compact(Json{{"version", version},
                      {"protocols", protocols},
                      {"commands", commands},
                      {"features", features}});
}

std::string ExportedProfile::encoded() const {
  Json mappings = Json::array();
  for (const auto& mapping : appMappings) {
    mappings.push_back({{"signingIdentifier", mapping.signingIdentifier},
                        {"designatedRequirement", mapping.designatedRequirement},
                        {"application", mapping.application}});
  }
  Json skipped = Json::array();
  for (const auto& application : skippedApplications) {
    skipped.push_back({{"path", application.path}, {"reason", reasonWord(application.reason)}});
  }
  return compact(Json{{"mobileconfig", mobileconfig},
                      {"payloadIdentifier", payloadIdentifier},
                      {"payloadUUID", payloadUUID},
                      {"vpnUUID", orNull(vpnUUID)},
                      {"appMappings", std::move(mappings)},
                      {"skippedApplications", std::move(skipped)},
                      {"notExported", notExported}});
}

std::string encoded(const Reply& reply, Protocol protocol) {
  if (const auto* status = std::get_if<StatusPayload>(&reply)) {
    return status->encoded(protocol);
  }
  if (const auto* exported = std::get_if<ExportedProfile>(&reply)) {
    return exported->encoded();
  }
  return std::get<VersionPayload>(reply).encoded();
}

std::string rfc3339(double secondsSinceEpoch) {
  // From the epoch to the end of year 9999, the range the form has four digits for.
  constexpr double kLast = 253402300799.999;
  const double bounded =
      std::isfinite(secondsSinceEpoch) ? std::clamp(secondsSinceEpoch, 0.0, kLast) : 0.0;
  const long long milliseconds = std::llround(bounded * 1000);
  const auto seconds = static_cast<time_t>(milliseconds / 1000);
  tm parts{};
  gmtime_r(&seconds, &parts);
  std::array<char, 32> text{};
  const int length =
      std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ",
                    parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                    parts.tm_min, parts.tm_sec, milliseconds % 1000);
  return {text.data(), static_cast<std::size_t>(std::max(length, 0))};
}

}  // namespace kelo
