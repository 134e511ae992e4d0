// The conversions between the tool's values and Foundation's (macOS only): every kind of
// provider-configuration value keeps its type through a round trip, and what has no form on
// the other side is handled on purpose.
#include "platform/apple/value_conversion.h"

#include <gtest/gtest.h>

namespace kelo::apple {
namespace {

using Json = ProviderConfiguration;

// A value without the order of its keys: NSDictionary keeps none, so a round trip returns them
// in any order.
nlohmann::json unordered(const Json& value) {
  return nlohmann::json::parse(value.dump());
}

std::optional<Json> roundTrip(const Json& value) {
  id converted = frameworkValue(value);
  if (converted == nil) {
    return std::nullopt;
  }
  return toolValue(converted);
}

TEST(ValueConversion, EveryKindOfValueKeepsItsTypeThroughARoundTrip) {
  const Json configuration = Json::parse(R"({
    "private_key": "k", "mtu": 1280, "negative": -7, "large": 18446744073709551615,
    "enabled": true, "disabled": false, "ratio": 0.25, "nothing": null,
    "unknown": {"list": [1, "two", [false, {"deep": 3.5}]], "empty": {}, "none": []}})");
  const auto back = roundTrip(configuration);
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(unordered(*back), unordered(configuration));
  EXPECT_TRUE((*back)["mtu"].is_number_integer());
  EXPECT_TRUE((*back)["enabled"].is_boolean());
  EXPECT_TRUE((*back)["ratio"].is_number_float());
}

TEST(ValueConversion, TextsKeepAnEmbeddedNulAndTextThatIsNotUTF8HasNoForm) {
  const std::string withNul("a\0b", 3);
  NSString* text = frameworkText(withNul);
  ASSERT_NE(text, nil);
  EXPECT_EQ(toolText(text), withNul);
  EXPECT_EQ(roundTrip(Json(withNul)), Json(withNul));
  EXPECT_EQ(frameworkText("\xff"), nil);
  EXPECT_EQ(frameworkValue(Json::array({"fine", "\xff"})), nil);
}

TEST(ValueConversion, ADictionaryWithAKeyThatIsNotAStringIsNotRead) {
  NSMutableDictionary* dictionary = [NSMutableDictionary dictionaryWithCapacity:2];
  NSString* key = frameworkText("text");
  ASSERT_NE(key, nil);
  [dictionary setObject:[NSNumber numberWithLongLong:1] forKey:key];
  [dictionary setObject:[NSNumber numberWithLongLong:2] forKey:[NSNumber numberWithLongLong:3]];
  EXPECT_EQ(toolValue(dictionary), std::nullopt);
}

TEST(ValueConversion, AbsentAndEmptyRuleListsStayApart) {
  EXPECT_EQ(toolRules(nil), std::nullopt);
  NSArray<::NEAppRule*>* none = frameworkRules({});
  ASSERT_NE(none, nil);
  EXPECT_EQ(toolRules(none), std::vector<NEAppRule>{});

  NEAppRule rule("com.example.mail", "identifier \"com.example.mail\"");
  rule.matchPath = "/Applications/Mail.app/Contents/MacOS/Mail";
  EXPECT_EQ(toolRules(frameworkRules({rule})), std::vector<NEAppRule>{rule});
  rule.matchPath = "\xff";
  EXPECT_EQ(frameworkRules({rule}), nil);
}

}  // namespace
}  // namespace kelo::apple
