#include "platform/apple/value_conversion.h"

#include <cstring>

namespace kelo::apple {

namespace {

using Json = ProviderConfiguration;

bool isBoolean(NSNumber* number) {
  const auto* reference = (__bridge CFBooleanRef)number;
  return reference == kCFBooleanTrue || reference == kCFBooleanFalse;
}

}  // namespace

std::string toolText(NSString* _Nonnull string) {
  // UTF8String would end the text at its first NUL character.
  NSData* bytes = [string dataUsingEncoding:NSUTF8StringEncoding allowLossyConversion:YES];
  if (bytes == nil || bytes.length == 0) {
    return {};
  }
  return std::string(static_cast<const char*>(bytes.bytes), bytes.length);
}

std::optional<std::string> optionalToolText(NSString* _Nullable string) {
  if (string == nil) {
    return std::nullopt;
  }
  return toolText(string);
}

NSString* _Nullable frameworkText(const std::string& text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

std::optional<Json> toolValue(id _Nonnull value) {
  if ([value isKindOfClass:[NSString class]]) {
    return Json(toolText((NSString*)value));
  }
  if ([value isKindOfClass:[NSNumber class]]) {
    NSNumber* number = (NSNumber*)value;
    if (isBoolean(number)) {
      return Json(number.boolValue == YES);
    }
    if (CFNumberIsFloatType((__bridge CFNumberRef)number)) {
      return Json(number.doubleValue);
    }
    if (std::strcmp(number.objCType, @encode(unsigned long long)) == 0) {
      return Json(number.unsignedLongLongValue);  // beyond the signed integers
    }
    return Json(number.longLongValue);
  }
  if ([value isKindOfClass:[NSNull class]]) {
    return Json(nullptr);
  }
  if ([value isKindOfClass:[NSArray class]]) {
    NSArray* list = (NSArray*)value;
    Json converted = Json::array();
    for (NSUInteger index = 0; index < list.count; ++index) {
      auto element = toolValue([list objectAtIndex:index]);
      if (!element) {
        return std::nullopt;
      }
      converted.push_back(std::move(*element));
    }
    return converted;
  }
  if ([value isKindOfClass:[NSDictionary class]]) {
    NSDictionary* dictionary = (NSDictionary*)value;
    NSArray* keys = dictionary.allKeys;
    Json converted = Json::object();
    for (NSUInteger index = 0; index < keys.count; ++index) {
      id key = [keys objectAtIndex:index];
      if (![key isKindOfClass:[NSString class]]) {
        return std::nullopt;
      }
      auto element = toolValue([dictionary objectForKey:key]);
      if (!element) {
        return std::nullopt;
      }
      converted[toolText((NSString*)key)] = std::move(*element);
    }
    return converted;
  }
  return std::nullopt;
}

id _Nullable frameworkValue(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return frameworkText(value.get<std::string>());
    case Json::value_t::boolean:
      return [NSNumber numberWithBool:value.get<bool>() ? YES : NO];
    case Json::value_t::number_integer:
      return [NSNumber numberWithLongLong:value.get<long long>()];
    case Json::value_t::number_unsigned:
      return [NSNumber numberWithUnsignedLongLong:value.get<unsigned long long>()];
    case Json::value_t::number_float:
      return [NSNumber numberWithDouble:value.get<double>()];
    case Json::value_t::null:
      return [NSNull null];
    case Json::value_t::array: {
      NSMutableArray* list = [NSMutableArray arrayWithCapacity:value.size()];
      for (const auto& element : value) {
        id converted = frameworkValue(element);
        if (converted == nil) {
          return nil;
        }
        [list addObject:converted];
      }
      return list;
    }
    case Json::value_t::object: {
      NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:value.size()];
      for (const auto& [key, element] : value.items()) {
        NSString* name = frameworkText(key);
        id converted = frameworkValue(element);
        if (name == nil || converted == nil) {
          return nil;
        }
        [dictionary setObject:converted forKey:name];
      }
      return dictionary;
    }
    default:
      return nil;  // binary values and discarded ones never come from JSON text
  }
}

std::optional<std::vector<NEAppRule>> toolRules(NSArray<::NEAppRule*>* _Nullable rules) {
  if (rules == nil) {
    return std::nullopt;
  }
  std::vector<NEAppRule> converted;
  for (NSUInteger index = 0; index < rules.count; ++index) {
    ::NEAppRule* rule = [rules objectAtIndex:index];
    NEAppRule made(toolText(rule.matchSigningIdentifier),
                   toolText(rule.matchDesignatedRequirement));
    made.matchPath = optionalToolText(rule.matchPath);
    converted.push_back(std::move(made));
  }
  return converted;
}

NSArray<::NEAppRule*>* _Nullable frameworkRules(const std::vector<NEAppRule>& rules) {
  NSMutableArray<::NEAppRule*>* converted = [NSMutableArray arrayWithCapacity:rules.size()];
  for (const auto& rule : rules) {
    NSString* identifier = frameworkText(rule.signingIdentifier);
    NSString* requirement = frameworkText(rule.designatedRequirement);
    NSString* path = rule.matchPath ? frameworkText(*rule.matchPath) : nil;
    if (identifier == nil || requirement == nil || (rule.matchPath && path == nil)) {
      return nil;
    }
    ::NEAppRule* made = [[::NEAppRule alloc] initWithSigningIdentifier:identifier
                                                 designatedRequirement:requirement];
    made.matchPath = path;
    [converted addObject:made];
  }
  return converted;
}

namespace {

std::optional<NEOnDemandRuleAction> toolAction(::NEOnDemandRule* rule) {
  if ([rule isKindOfClass:[NEOnDemandRuleConnect class]]) {
    return NEOnDemandRuleAction::connect;
  }
  if ([rule isKindOfClass:[NEOnDemandRuleDisconnect class]]) {
    return NEOnDemandRuleAction::disconnect;
  }
  if ([rule isKindOfClass:[NEOnDemandRuleIgnore class]]) {
    return NEOnDemandRuleAction::ignore;
  }
  return std::nullopt;
}

std::optional<NEOnDemandRuleInterfaceType> toolInterfaceType(::NEOnDemandRuleInterfaceType type) {
  switch (type) {
    case NEOnDemandRuleInterfaceTypeAny:
      return NEOnDemandRuleInterfaceType::any;
    case NEOnDemandRuleInterfaceTypeEthernet:
      return NEOnDemandRuleInterfaceType::ethernet;
    case NEOnDemandRuleInterfaceTypeWiFi:
      return NEOnDemandRuleInterfaceType::wiFi;
    default:
      return std::nullopt;
  }
}

::NEOnDemandRule* frameworkRule(NEOnDemandRuleAction action) {
  if (action == NEOnDemandRuleAction::connect) {
    return [[NEOnDemandRuleConnect alloc] init];
  }
  if (action == NEOnDemandRuleAction::disconnect) {
    return [[NEOnDemandRuleDisconnect alloc] init];
  }
  return [[NEOnDemandRuleIgnore alloc] init];
}

::NEOnDemandRuleInterfaceType frameworkInterfaceType(NEOnDemandRuleInterfaceType type) {
  switch (type) {
    case NEOnDemandRuleInterfaceType::ethernet:
      return NEOnDemandRuleInterfaceTypeEthernet;
    case NEOnDemandRuleInterfaceType::wiFi:
      return NEOnDemandRuleInterfaceTypeWiFi;
    case NEOnDemandRuleInterfaceType::any:
      break;
  }
  return NEOnDemandRuleInterfaceTypeAny;
}

}  // namespace

std::optional<std::vector<NEOnDemandRule>> toolOnDemandRules(
    NSArray<::NEOnDemandRule*>* _Nullable rules) {
  if (rules == nil) {
    return std::nullopt;
  }
  std::vector<NEOnDemandRule> converted;
  for (NSUInteger index = 0; index < rules.count; ++index) {
    ::NEOnDemandRule* rule = [rules objectAtIndex:index];
    const auto action = toolAction(rule);
    const auto interfaceType = toolInterfaceType(rule.interfaceTypeMatch);
    if (!action || !interfaceType) {
      continue;
    }
    NEOnDemandRule made{.action = *action, .interfaceTypeMatch = *interfaceType, .SSIDMatch = {}};
    if (NSArray<NSString*>* names = rule.SSIDMatch) {
      made.SSIDMatch.emplace();
      for (NSUInteger name = 0; name < names.count; ++name) {
        made.SSIDMatch->push_back(toolText([names objectAtIndex:name]));
      }
    }
    converted.push_back(std::move(made));
  }
  return converted;
}

NSArray<::NEOnDemandRule*>* _Nullable frameworkOnDemandRules(
    const std::vector<NEOnDemandRule>& rules) {
  NSMutableArray<::NEOnDemandRule*>* converted = [NSMutableArray arrayWithCapacity:rules.size()];
  for (const auto& rule : rules) {
    ::NEOnDemandRule* made = frameworkRule(rule.action);
    made.interfaceTypeMatch = frameworkInterfaceType(rule.interfaceTypeMatch);
    if (rule.SSIDMatch) {
      NSMutableArray<NSString*>* names = [NSMutableArray arrayWithCapacity:rule.SSIDMatch->size()];
      for (const auto& name : *rule.SSIDMatch) {
        NSString* text = frameworkText(name);
        if (text == nil) {
          return nil;
        }
        [names addObject:text];
      }
      made.SSIDMatch = names;
    }
    [converted addObject:made];
  }
  return converted;
}

}  // namespace kelo::apple
