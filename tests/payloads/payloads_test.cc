// The request and status documents and the failure document: strict decoding with messages
// that name the member, exact encodings.
#include <gtest/gtest.h>

#include "payloads/requests.h"
#include "payloads/status_payload.h"

namespace kelo {
namespace {

const char kFullRequest[] =
    R"({"privateKey":"cHJpdmF0ZQ==","address":"10.8.0.2/32","dns":"1.1.1.1","peerPublicKey":"cGVlcg==",)"
    R"("peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0, ::/0","mtu":1380,"keepaliveSeconds":15,)"
    R"("excludedApps":["/Applications/Safari.app"],"version":2})";

std::string decodingMessage(std::string_view json) {
  const auto decoded = ConnectPayload::decode(json);
  if (decoded) {
    return "decoded";
  }
  const auto* error = std::get_if<PlatformError>(&decoded.error());
  return error != nullptr ? error->localizedDescription : "not a decoding error";
}

TEST(ConnectRequest, DecodesEveryMemberAndIgnoresOthers) {
  const auto payload = ConnectPayload::decode(kFullRequest);
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(payload->privateKey, "cHJpdmF0ZQ==");
  EXPECT_EQ(payload->address, "10.8.0.2/32");
  EXPECT_EQ(payload->dns, "1.1.1.1");
  EXPECT_EQ(payload->peerPublicKey, "cGVlcg==");
  EXPECT_EQ(payload->peerEndpoint, "203.0.113.5:51820");
  EXPECT_EQ(payload->allowedIps, "0.0.0.0/0, ::/0");
  EXPECT_EQ(payload->mtu, 1380);
  EXPECT_EQ(payload->keepaliveSeconds, 15);
  EXPECT_EQ(payload->excludedApps, std::vector<std::string>{"/Applications/Safari.app"});
}

TEST(ConnectRequest, OptionalIntegersMayBeAbsentOrNullAndTakeAnySignedValue) {
  auto payload = ConnectPayload::decode(
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"","allowedIps":"",)"
      R"("mtu":null,"keepalive_seconds":5,"excludedApps":[]})");
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(payload->mtu, std::nullopt);
  EXPECT_EQ(payload->keepaliveSeconds, std::nullopt);

  payload = ConnectPayload::decode(
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"","allowedIps":"",)"
      R"("mtu":-9223372036854775808,"keepaliveSeconds":9223372036854775807,"excludedApps":[]})");
  ASSERT_TRUE(payload.has_value());
  EXPECT_EQ(payload->mtu, INT64_MIN);
  EXPECT_EQ(payload->keepaliveSeconds, INT64_MAX);
}

TEST(ConnectRequest, NamesTheFirstBadMemberInDeclarationOrder) {
  EXPECT_EQ(decodingMessage(R"({"dns":[],"address":7})"),
            "The request has no member \"privateKey\"; it must be a string.");
  EXPECT_EQ(decodingMessage(R"({"privateKey":null})"),
            "Member \"privateKey\" of the request is null; expected a string.");
  EXPECT_EQ(decodingMessage(R"({"privateKey":"k","address":"a","dns":["1.1.1.1"]})"),
            "Member \"dns\" of the request is an array; expected a string.");
  EXPECT_EQ(decodingMessage(R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p",)"
                            R"("peerEndpoint":"e","allowed_ips":"x","excludedApps":[]})"),
            "The request has no member \"allowedIps\"; it must be a string.");
}

TEST(ConnectRequest, RequiresIntegersForMtuAndKeepalive) {
  const std::string prefix =
      R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e",)"
      R"("allowedIps":"i","excludedApps":[],)";
  EXPECT_EQ(decodingMessage(prefix + R"("mtu":1280.5})"),
            "Member \"mtu\" of the request is 1280.5; expected an integer.");
  EXPECT_EQ(decodingMessage(prefix + R"("mtu":"1280"})"),
            "Member \"mtu\" of the request is a string; expected an integer.");
  EXPECT_EQ(decodingMessage(prefix + R"("keepaliveSeconds":true})"),
            "Member \"keepaliveSeconds\" of the request is a boolean; expected an integer.");
  EXPECT_EQ(decodingMessage(prefix + R"("keepaliveSeconds":9223372036854775808})"),
            "Member \"keepaliveSeconds\" of the request is 9223372036854775808, which does not "
            "fit in a signed 64-bit integer.");
}

TEST(ConnectRequest, RequiresAListOfStringsForExcludedApps) {
  const std::string prefix =
      R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e",)"
      R"("allowedIps":"i")";
  EXPECT_EQ(decodingMessage(prefix + "}"),
            "The request has no member \"excludedApps\"; it must be a list of strings.");
  EXPECT_EQ(decodingMessage(prefix + R"(,"excludedApps":"/Applications/Mail.app"})"),
            "Member \"excludedApps\" of the request is a string; expected a list of strings.");
  EXPECT_EQ(decodingMessage(prefix + R"(,"excludedApps":["a",{}]})"),
            "Element 1 of member \"excludedApps\" of the request is an object; expected a string.");
}

TEST(ConnectRequest, RejectsDocumentsThatAreNotOneJSONObject) {
  EXPECT_EQ(decodingMessage("[]"), "The request is an array; expected a JSON object.");
  EXPECT_EQ(decodingMessage("null"), "The request is null; expected a JSON object.");
  EXPECT_EQ(decodingMessage(" "),
            "The request is not valid JSON at byte 2: unexpected end of input; expected '[', "
            "'{', or a literal.");
  EXPECT_EQ(decodingMessage("{\"privateKey\":\"\xff\"}"),
            "The request is not valid JSON at byte 16: invalid string: ill-formed UTF-8 byte.");
  EXPECT_EQ(decodingMessage("{} {}"),
            "The request is not valid JSON at byte 4: unexpected '{'; expected end of input.");
  EXPECT_EQ(decodingMessage("[1e999]"),
            "The request is not valid JSON: it holds a number too large to read.");
}

TEST(ConnectRequest, RefusesDeepNestingAndHugeInputWithoutCrashing) {
  EXPECT_EQ(decodingMessage(std::string(100000, '[') + std::string(100000, ']')),
            "The request nests deeper than 64 levels.");
  EXPECT_EQ(decodingMessage(std::string(kMaximumRequestBytes + 1, ' ')),
            "The request is larger than 1 MiB.");
}

// The parser itself would stop at a NUL byte and take what came before for the whole request.
TEST(ConnectRequest, RefusesANulByteAnywhere) {
  using namespace std::string_literals;
  EXPECT_EQ(decodingMessage("{\"excludedApps\":[]}\0junk"s),
            "The request is not valid JSON at byte 20: a NUL byte.");
  EXPECT_EQ(decodingMessage("{\"excludedApps\":[]}\0"s),
            "The request is not valid JSON at byte 20: a NUL byte.");
  EXPECT_EQ(decodingMessage("\0"s), "The request is not valid JSON at byte 1: a NUL byte.");
}

TEST(AppRuleRequest, NeedsExcludedAppsAndAcceptsAnEmptyList) {
  EXPECT_EQ(AppRulePayload::decode(R"({"excludedApps":[]})").value(), AppRulePayload{});
  const auto empty = AppRulePayload::decode("{}");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(std::get<PlatformError>(empty.error()).localizedDescription,
            "The request has no member \"excludedApps\"; it must be a list of strings.");
}

TEST(FailureDocument, EscapesSlashesAndKeepsEmptyMessages) {
  EXPECT_EQ(failureDocument("No executable found in /Applications/Broken.app."),
            R"({"error":"No executable found in \/Applications\/Broken.app."})");
  EXPECT_EQ(failureDocument(""), R"({"error":""})");
  EXPECT_EQ(failureDocument("say \"hi\"\n"), R"({"error":"say \"hi\"\n"})");
  EXPECT_EQ(failureDocument("bad \xff byte"), "{\"error\":\"bad \xef\xbf\xbd byte\"}");
}

}  // namespace
}  // namespace kelo
