// Conversions between the tool's values and Foundation's for the Apple NetworkExtension layer:
// texts, provider-configuration values, application rules and on-demand rules. Objective-C++: only
// the layer's .mm files include it. Pure; any thread.
#pragma once

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/network_extension.h"

// Inside this namespace the unqualified names are the tool's (kelo::NEAppRule); the framework's
// are written with a leading "::".
namespace kelo::apple {

// The whole text of a string, NUL characters included.
std::string toolText(NSString* _Nonnull string);
std::optional<std::string> optionalToolText(NSString* _Nullable string);

// The string of a text; nil when the text is not UTF-8. No text of the tool is: they come from
// JSON documents and from paths checked to be UTF-8.
NSString* _Nullable frameworkText(const std::string& text);

// A provider-configuration value in the tool's form: texts, integers, floats, booleans, null,
// and lists and dictionaries of them. Nothing for a value of another kind (data, a date) or a
// dictionary with a key that is not a string: the tool never reads those, and a save leaves
// them as the framework returned them.
std::optional<ProviderConfiguration> toolValue(id _Nonnull value);

// The framework's form of a value: integers and booleans stay NSNumber integers and booleans.
// Nil when it has none (a text that is not UTF-8).
id _Nullable frameworkValue(const ProviderConfiguration& value);

// The rules as the tool reads them; nothing for an absent list, which is not an empty one.
std::optional<std::vector<NEAppRule>> toolRules(NSArray<::NEAppRule*>* _Nullable rules);

// The framework's rules; nil when a rule holds a text that is not UTF-8.
NSArray<::NEAppRule*>* _Nullable frameworkRules(const std::vector<NEAppRule>& rules);

// The on-demand rules as the tool reads them, in order; nothing for an absent list. A rule of a
// kind the tool has no form for (evaluate-connection, or an interface type other than any,
// Ethernet or Wi-Fi) is left out.
std::optional<std::vector<NEOnDemandRule>> toolOnDemandRules(
    NSArray<::NEOnDemandRule*>* _Nullable rules);

// The framework's rules, of the class for each action; nil when a network name is not UTF-8.
NSArray<::NEOnDemandRule*>* _Nullable frameworkOnDemandRules(
    const std::vector<NEOnDemandRule>& rules);

}  // namespace kelo::apple
