// The requests' strict decoding, with messages that name the member, and the failure document.
#include <gtest/gtest.h>

#include <signal.h>

#include "payloads/failure_document.h"
#include "payloads/requests.h"
#include "payloads/status_payload.h"

namespace kelo {
namespace {

using namespace std::string_literals;

constexpr std::optional<std::int64_t> kNone;

std::string decodingMessage(std::string_view json) {
  const auto decoded = ConnectPayload::decode(json);
  return decoded ? "decoded" : failureMessage(decoded.error());
}

TEST(ConnectRequest, OptionalIntegersMayBeAbsentOrNullAndTakeAnySignedValue) {
  const std::string texts =
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"","allowedIps":"",)"
      R"("excludedApps":[],)";
  const auto absent = ConnectPayload::decode(texts + R"("mtu":null,"keepalive_seconds":5})");
  EXPECT_EQ(std::pair(absent->mtu, absent->keepaliveSeconds), std::pair(kNone, kNone));
  const auto extremes = ConnectPayload::decode(
      texts + R"("mtu":-9223372036854775808,"keepaliveSeconds":9223372036854775807})");
  EXPECT_EQ(std::pair(extremes->mtu, extremes->keepaliveSeconds),
            std::pair(std::optional(INT64_MIN), std::optional(INT64_MAX)));
}

// `count` Wi-Fi rules naming `names`, and `count` names of 32 bytes.
std::string rules(std::size_t count, const std::string& names) {
  std::string list;
  for (std::size_t rule = 0; rule < count; ++rule) {
    list += (rule > 0 ? "," : "") + R"({"action":"connect","interfaceType":"wifi","ssids":[)"s +
            names + "]}";
  }
  return list;
}
std::string names(std::size_t count) {
  std::string list;
  for (std::size_t name = 0; name < count; ++name) {
    list += (name > 0 ? ",\"" : "\"") + std::string(32, 'n') + "\"";
  }
  return list;
}

// Each setting alone, absent or null, and a kill switch switched off beside per-app rules.
TEST(ConnectRequest, NetworkPolicyTakesEachSettingAlone) {
  const std::string request =
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"","allowedIps":"",)"
      R"("excludedApps":["/x"],"networkPolicy":)";
  EXPECT_EQ(ConnectPayload::decode(request + "null}")->networkPolicy, NetworkPolicy{});
  EXPECT_EQ(ConnectPayload::decode(request + "{}}")->networkPolicy, NetworkPolicy{});
  EXPECT_EQ(ConnectPayload::decode(request + R"({"includeAllNetworks":false,"enforceRoutes":null,)"
                                             R"("disconnectOnSleep":true}})")
                ->networkPolicy,
            (NetworkPolicy{.includeAllNetworks = false,
                           .excludeLocalNetworks = std::nullopt,
                           .enforceRoutes = std::nullopt,
                           .disconnectOnSleep = true}));
  EXPECT_EQ(ConnectPayload::decode(request + R"({"excludeLocalNetworks":true,)"
                                             R"("enforceRoutes":false}})")
                ->networkPolicy,
            (NetworkPolicy{.includeAllNetworks = std::nullopt,
                           .excludeLocalNetworks = true,
                           .enforceRoutes = false,
                           .disconnectOnSleep = std::nullopt}));
}

// The first members keep their decoding, in which a later duplicate wins; stale profiles are
// removed first unless the request asks otherwise.
TEST(ConnectRequest, StaleProfilesAndDuplicatesOfTheFirstMembers) {
  const std::string request =
      R"({"privateKey":"k","privateKey":"K","address":"a","dns":"d","peerPublicKey":"p",)"
      R"("peerEndpoint":"e","allowedIps":"i","excludedApps":["/x"],"excludedApps":[])";
  const auto decoded = ConnectPayload::decode(request + "}");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->privateKey, "K");
  EXPECT_TRUE(decoded->excludedApps.empty());
  EXPECT_EQ(decoded->staleProfiles, StaleProfiles::removeFirst);
  EXPECT_EQ(ConnectPayload::decode(request + R"(,"staleProfiles":null})")->staleProfiles,
            StaleProfiles::removeFirst);
  EXPECT_EQ(
      ConnectPayload::decode(request + R"(,"staleProfiles":"removeAfterSave"})")->staleProfiles,
      StaleProfiles::removeAfterSave);
  // Taking over is a boolean, true unless the request says false, and said once.
  EXPECT_TRUE(decoded->takeOver);
  EXPECT_TRUE(ConnectPayload::decode(request + R"(,"takeOver":null})")->takeOver);
  EXPECT_FALSE(ConnectPayload::decode(request + R"(,"takeOver":false})")->takeOver);
  EXPECT_EQ(decodingMessage(request + R"(,"takeOver":"no"})"),
            "Member \"takeOver\" of the request is a string; expected a boolean.");
  EXPECT_EQ(decodingMessage(request + R"(,"takeOver":0})"),
            "Member \"takeOver\" of the request is a number; expected a boolean.");
  EXPECT_EQ(decodingMessage(request + R"(,"takeOver":true,"takeOver":false})"),
            "Member \"takeOver\" of the request is given more than once.");
}

TEST(ConnectRequest, OnDemandRulesMayBeAbsentAndTakeTheirLimits) {
  const std::string request =
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"","allowedIps":"",)"
      R"("excludedApps":[],"onDemandRules":)";
  EXPECT_EQ(ConnectPayload::decode(request + "null}")->onDemandRules.size(), 0u);
  EXPECT_EQ(
      ConnectPayload::decode(request + "[" + rules(64, names(64)) + "]}")->onDemandRules.size(),
      64u);
  const auto decoded = ConnectPayload::decode(
      request + R"([{"action":"disconnect","interfaceType":"ethernet"},)" +
      R"({"action":"connect","interfaceType":"wifi","ssids":["Cafe"]},{"action":"ignore","interfaceType":null}]})");
  const std::vector<NEOnDemandRule> expected = {
      {NEOnDemandRuleAction::disconnect, NEOnDemandRuleInterfaceType::ethernet, std::nullopt},
      {NEOnDemandRuleAction::connect, NEOnDemandRuleInterfaceType::wiFi,
       std::vector<std::string>{"Cafe"}},
      {NEOnDemandRuleAction::ignore, NEOnDemandRuleInterfaceType::any, std::nullopt}};
  EXPECT_EQ(decoded->onDemandRules, expected);
}

// Every way a request can fail to decode, with the message that says where and what. Members
// are read in declaration order, and the first bad one is named.
TEST(ConnectRequest, NamesWhatMakesItUndecodable) {
  const std::string six =
      R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e",)"
      R"("allowedIps":"i")";
  const std::string seven = six + R"(,"excludedApps":[],)";
  // clang-format off
  const std::vector<std::pair<std::string, std::string>> cases = {
      {R"({"dns":[],"address":7})", "The request has no member \"privateKey\"; it must be a string."},
      {R"({"privateKey":null})", "Member \"privateKey\" of the request is null; expected a string."},
      {R"({"privateKey":"k","address":"a","dns":["1.1.1.1"]})",
       "Member \"dns\" of the request is an array; expected a string."},
      {R"({"privateKey":"k","address":"a","dns":"d","peerPublicKey":"p","peerEndpoint":"e","allowed_ips":"x"})",
       "The request has no member \"allowedIps\"; it must be a string."},
      {seven + R"("keepaliveSeconds":true})",
       "Member \"keepaliveSeconds\" of the request is a boolean; expected an integer."},
      {seven + R"("mtu":-1.5E+2})", "Member \"mtu\" of the request is -1.5E+2; expected an integer."},
      {seven + R"("mtu":18446744073709551616})",
       "Member \"mtu\" of the request is 18446744073709551616, which does not fit in a signed 64-bit integer."},
      {six + "}", "The request has no member \"excludedApps\"; it must be a list of strings."},
      {six + R"(,"excludedApps":"/Applications/Mail.app"})",
       "Member \"excludedApps\" of the request is a string; expected a list of strings."},
      {six + R"(,"excludedApps":["a",{}]})",
       "Element 1 of member \"excludedApps\" of the request is an object; expected a string."},
      {seven + R"("onDemandRules":{}})",
       "Member \"onDemandRules\" of the request is an object; expected a list of on-demand rules."},
      {seven + R"("onDemandRules":[{"action":"ignore"},"x"]})",
       "Element 1 of member \"onDemandRules\" of the request is a string; expected an object."},
      {seven + R"("onDemandRules":[{"interfaceType":"wifi"}]})",
       "Element 0 of member \"onDemandRules\" of the request has no member \"action\"; it must be \"connect\", "
       "\"disconnect\" or \"ignore\"."},
      {seven + R"("onDemandRules":[{"action":"Connect"}]})",
       "Member \"action\" of element 0 of member \"onDemandRules\" of the request is a string other than "
       "\"connect\", \"disconnect\" or \"ignore\"."},
      {seven + R"("onDemandRules":[{"action":null}]})",
       "Member \"action\" of element 0 of member \"onDemandRules\" of the request is null; expected \"connect\", "
       "\"disconnect\" or \"ignore\"."},
      {seven + R"("onDemandRules":[{"action":"ignore","interfaceType":2}]})",
       "Member \"interfaceType\" of element 0 of member \"onDemandRules\" of the request is a number; expected "
       "\"any\", \"ethernet\" or \"wifi\"."},
      {seven + R"("onDemandRules":[{"action":"ignore","ssids":["Cafe"]}]})",
       "Member \"ssids\" of element 0 of member \"onDemandRules\" of the request names Wi-Fi networks, but its "
       "\"interfaceType\" is not \"wifi\"."},
      {seven + R"("onDemandRules":[{"action":"ignore","interfaceType":"wifi","ssids":[]}]})",
       "Member \"ssids\" of element 0 of member \"onDemandRules\" of the request is an empty list; leave it out "
       "to match every Wi-Fi network."},
      {seven + R"("onDemandRules":[{"action":"ignore","interfaceType":"wifi","ssids":["a",""]}]})",
       "Element 1 of member \"ssids\" of element 0 of member \"onDemandRules\" of the request is 0 bytes long; "
       "a Wi-Fi network name is 1 to 32 bytes."},
      {seven + R"("onDemandRules":[{"action":"ignore","interfaceType":"wifi","ssids":[")" + std::string(33, 'n') +
       R"("]}]})", "Element 0 of member \"ssids\" of element 0 of member \"onDemandRules\" of the request is 33 "
       "bytes long; a Wi-Fi network name is 1 to 32 bytes."},
      {seven + R"("onDemandRules":[)" + rules(65, R"("a")") + "]}",
       "Member \"onDemandRules\" of the request has 65 rules; at most 64 are allowed."},
      {seven + R"("onDemandRules":[)" + rules(1, names(65)) + "]}",
       "Member \"ssids\" of element 0 of member \"onDemandRules\" of the request has 65 names; at most 64 are "
       "allowed."},
      {seven + R"("networkPolicy":[true]})",
       "Member \"networkPolicy\" of the request is an array; expected an object of booleans."},
      {seven + R"("networkPolicy":{"includeAllNetworks":false,"killSwitch":true}})",
       "Member \"killSwitch\" of member \"networkPolicy\" of the request is not a setting the tool knows; "
       "the settings are \"includeAllNetworks\", \"excludeLocalNetworks\", \"enforceRoutes\" and "
       "\"disconnectOnSleep\"."},
      {seven + R"("networkPolicy":{"enforceRoutes":"yes"}})",
       "Member \"enforceRoutes\" of member \"networkPolicy\" of the request is a string; expected a boolean."},
      {six + R"(,"excludedApps":["/Applications/Mail.app"],"networkPolicy":{"includeAllNetworks":true}})",
       "Member \"includeAllNetworks\" of member \"networkPolicy\" of the request is true, which sends every "
       "application through the tunnel, but \"excludedApps\" names applications to keep out of it."},
      {seven + R"("staleProfiles":"removeLast"})",
       "Member \"staleProfiles\" of the request is a string other than \"removeFirst\" or \"removeAfterSave\"."},
      {seven + R"("staleProfiles":false})",
       "Member \"staleProfiles\" of the request is a boolean; expected \"removeFirst\" or \"removeAfterSave\"."},
      // A member beyond the first ones, or a setting of the policy, given twice: the later one
      // would hide the first.
      {seven + R"("networkPolicy":{"includeAllNetworks":"x","includeAllNetworks":false}})",
       "Member \"includeAllNetworks\" of member \"networkPolicy\" of the request is given more than once."},
      {seven + R"("networkPolicy":{},"networkPolicy":{"includeAllNetworks":false}})",
       "Member \"networkPolicy\" of the request is given more than once."},
      {seven + R"("onDemandRules":[],"onDemandRules":[]})",
       "Member \"onDemandRules\" of the request is given more than once."},
      {seven + R"("staleProfiles":"removeAfterSave","staleProfiles":"removeFirst"})",
       "Member \"staleProfiles\" of the request is given more than once."},
      {"[]", "The request is an array; expected a JSON object."},
      {"null", "The request is null; expected a JSON object."},
      {" ", "The request is not valid JSON at byte 2: unexpected end of input; expected '[', '{', or a literal."},
      {"{\"privateKey\":\"\xff\"}", "The request is not valid JSON at byte 16: invalid string: ill-formed UTF-8 byte."},
      {"{} {}", "The request is not valid JSON at byte 4: unexpected '{'; expected end of input."},
      {"[1e999]", "The request is not valid JSON: it holds a number too large to read."},
      {std::string(100000, '[') + std::string(100000, ']'), "The request nests deeper than 64 levels."},
      {std::string(kMaximumRequestBytes + 1, ' '), "The request is larger than 1 MiB."},
      // The parser itself would stop at a NUL byte and take what came before for the request.
      {"\0"s, "The request is not valid JSON at byte 1: a NUL byte."},
      {"{\"excludedApps\":[]}\0"s, "The request is not valid JSON at byte 20: a NUL byte."},
  };
  // clang-format on
  for (const auto& [request, message] : cases) {
    EXPECT_EQ(decodingMessage(request), message) << request.substr(0, 100);
  }
}

// Both requests that build rules take the same two choices: absent or null leave them open,
// other words and types are refused by name, and neither may be given twice.
TEST(AppRuleRequest, RuleCoverageAndMissingAppsAreWordsGivenOnce) {
  const std::string connect =
      R"({"privateKey":"","address":"","dns":"","peerPublicKey":"","peerEndpoint":"",)"
      R"("allowedIps":"","excludedApps":["/A.app"])";
  const auto chosen = ConnectPayload::decode(
      connect + R"(,"ruleCoverage":"wholeApplication","missingApps":"skip"})");
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->ruleCoverage, RuleCoverage::wholeApplication);
  EXPECT_EQ(chosen->missingApps, MissingApps::skip);
  const auto open = ConnectPayload::decode(connect + R"(,"ruleCoverage":null})");
  EXPECT_EQ(open->ruleCoverage, std::nullopt);
  EXPECT_EQ(open->missingApps, MissingApps::fail);
  const auto update = AppRulePayload::decode(
      R"({"excludedApps":[],"ruleCoverage":"firstExecutable","missingApps":"fail"})");
  EXPECT_EQ(update->ruleCoverage, RuleCoverage::firstExecutable);
  EXPECT_EQ(AppRulePayload::decode(R"({"excludedApps":[]})")->ruleCoverage, std::nullopt);

  EXPECT_EQ(decodingMessage(connect + R"(,"ruleCoverage":"whole"})"),
            "Member \"ruleCoverage\" of the request is a string other than "
            "\"firstExecutable\" or \"wholeApplication\".");
  EXPECT_EQ(decodingMessage(connect + R"(,"missingApps":true})"),
            "Member \"missingApps\" of the request is a boolean; expected \"fail\" or "
            "\"skip\".");
  EXPECT_EQ(failureMessage(
                AppRulePayload::decode(R"({"excludedApps":[],"ruleCoverage":"firstExecutable",)"
                                       R"("ruleCoverage":"wholeApplication"})")
                    .error()),
            "Member \"ruleCoverage\" of the request is given more than once.");
  EXPECT_EQ(failureMessage(
                AppRulePayload::decode(R"({"excludedApps":[],"missingApps":["skip"]})").error()),
            "Member \"missingApps\" of the request is an array; expected \"fail\" or \"skip\".");
}

TEST(AppRuleRequest, NeedsExcludedAppsAndAcceptsAnEmptyList) {
  EXPECT_EQ(AppRulePayload::decode(R"({"excludedApps":[]})").value(), AppRulePayload{});
  // Exactly as deep as documented is accepted; one level more is not.
  const auto nested = [](int levels) {
    return R"({"excludedApps":[],"extra":)" + std::string(levels - 1, '[') +
           std::string(levels - 1, ']') + "}";
  };
  EXPECT_TRUE(AppRulePayload::decode(nested(kMaximumRequestDepth)).has_value());
  EXPECT_EQ(AppRulePayload::decode(nested(kMaximumRequestDepth + 1)).error(),
            Error{ManagerError::invalidInput("The request nests deeper than 64 levels.")});
  EXPECT_EQ(AppRulePayload::decode("{}").error(),
            Error{ManagerError::invalidInput(
                "The request has no member \"excludedApps\"; it must be a list of strings.")});
}

TEST(FailureDocument, EscapesSlashesAndKeepsEmptyMessages) {
  EXPECT_EQ(failureDocument("No executable found in /Applications/Broken.app."),
            R"({"error":"No executable found in \/Applications\/Broken.app."})");
  EXPECT_EQ(failureDocument(""), R"({"error":""})");
  EXPECT_EQ(failureDocument("say \"hi\"\n"), R"({"error":"say \"hi\"\n"})");
  EXPECT_EQ(failureDocument("bad \xff byte"), "{\"error\":\"bad \xef\xbf\xbd byte\"}");
}

// A repair that failed is told after the message, and in protocol 2 as a member of its own,
// with the platform's error where it gave one; a stop that ended the run tells it too.
TEST(FailureDocument, AFailedRepairIsAMemberOfItsOwn) {
  ManagerError failure = ManagerError::networkExtension("Failed to start packet tunnel: crashed")
                             .coded(FailureCode::platform)
                             .at(Step::start);
  failure.repair = RepairFailure{
      .message = "full.", .step = Step::save, .cause = PlatformCause{"NEVPNErrorDomain", 5}};
  EXPECT_EQ(failureDocument(Error{failure}, Protocol::one),
            R"({"error":"Failed to start packet tunnel: crashed The on-demand connection could )"
            R"(not be switched back on: full."})");
  EXPECT_EQ(failureDocument(Error{failure}, Protocol::two),
            R"({"error":"Failed to start packet tunnel: crashed The on-demand connection could )"
            R"(not be switched back on: full.","code":"platform","step":"start","repairError":)"
            R"({"message":"full.","step":"save","platformError":{"domain":"NEVPNErrorDomain",)"
            R"("code":5}}})");
  failure.repair->cause.reset();
  EXPECT_EQ(failureDocument(Error{failure}, Protocol::two, SIGTERM),
            R"({"error":"Stopped by SIGTERM before the request was complete. The on-demand )"
            R"(connection could not be switched back on: full.","code":"stopped","step":"start",)"
            R"("signal":"SIGTERM","repairError":{"message":"full.","step":"save",)"
            R"("platformError":null}})");
}

// The documents the signal handlers write are rendered at compile time; they are what the
// encoder writes for the same ending in the same step, in both protocols.
TEST(FailureDocument, EndingsRenderedInAdvanceAreWhatTheEncoderWrites) {
  for (const int signal : {SIGALRM, SIGTERM, SIGINT, SIGHUP}) {
    for (std::size_t step = 0; step < kStepCount; ++step) {
      const Error ended = ManagerError::timedOut("waited").at(static_cast<Step>(step));
      for (const Protocol protocol : {Protocol::one, Protocol::two}) {
        EXPECT_EQ(endingDocument(protocol, signal, static_cast<Step>(step)),
                  failureDocument(ended, protocol, signal))
            << signal << " " << step;
      }
    }
  }
  EXPECT_EQ(endingDocument(Protocol::two, SIGHUP, Step::inspect),
            R"({"error":"Stopped by SIGHUP before the request was complete.","code":"stopped",)"
            R"("step":"inspect","signal":"SIGHUP"})");
  EXPECT_EQ(endingDocument(Protocol::two, SIGALRM, Step::lock),
            R"({"error":"Timed out waiting for Network Extension manager response.",)"
            R"("code":"timedOut","step":"lock"})");
  EXPECT_EQ(outOfMemoryDocument(Protocol::two),
            R"({"error":"Unexpected failure: std::bad_alloc.","code":"resources"})");
}

}  // namespace
}  // namespace kelo
