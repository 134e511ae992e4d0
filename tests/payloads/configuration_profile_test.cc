// The export request's decoding, the name-based UUIDs and the property list that the exported
// profile is written as. What the profile holds is read back by an independent reader in the
// black-box tests.
#include "payloads/configuration_profile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "payloads/name_based_uuid.h"
#include "payloads/requests.h"

namespace kelo {
namespace {

using Json = nlohmann::json;

std::string hex(const std::array<std::uint8_t, 20>& digest) {
  std::string text;
  for (const auto byte : digest) {
    std::array<char, 3> pair{};
    std::snprintf(pair.data(), pair.size(), "%02x", byte);
    text += pair.data();
  }
  return text;
}

// Around the block boundaries, where the padding takes a block of its own or not.
TEST(NameBasedUUID, DigestsAndUUIDsAreTheStandardOnes) {
  EXPECT_EQ(hex(uuid::sha1("")), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(hex(uuid::sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(hex(uuid::sha1(std::string(55, 'a'))), "c1c8bbdc22796e28c0e15163d20899b65621d65a");
  EXPECT_EQ(hex(uuid::sha1(std::string(56, 'a'))), "c2db330f6083854c99d4b5bfb6e8f29f201be699");
  EXPECT_EQ(hex(uuid::sha1(std::string(64, 'a'))), "0098ba824b5c16427bd7a1122a5a442a25ec644d");
  EXPECT_EQ(hex(uuid::sha1(std::string(1000, 'a'))), "291e9a6c66994949b57ba5e650361e98fc36b1ba");
  EXPECT_EQ(uuid::nameBased("python.org"), "886313E1-3B8A-5372-9B90-0C9AEE199E5D");
  const auto uuids = mobileconfig::uuidsFor("com.example.vpn");
  EXPECT_EQ(uuids.profile, "D8931B82-D7D2-5C01-A44D-52A68993B824");
  const std::set<std::string> distinct = {uuids.profile, uuids.vpnPayload, uuids.mappingPayload,
                                          uuids.vpn};
  EXPECT_EQ(distinct.size(), 4u);
}

constexpr char kConnect[] =
    R"({"address":"10.0.0.2/32","dns":"1.1.1.1","peerPublicKey":"P","peerEndpoint":"h:1",)"
    R"("allowedIps":"0.0.0.0/0","excludedApps":[])";

std::string request(const std::string& exportMember, const std::string& more = "") {
  return std::string(kConnect) + more + R"(,"export":)" + exportMember + "}";
}

std::string refusal(const std::string& json) {
  const auto decoded = ExportPayload::decode(json);
  return decoded ? "decoded" : failureMessage(decoded.error());
}

TEST(ExportRequest, IsAConnectRequestWithItsExportMember) {
  const auto decoded =
      ExportPayload::decode(request(R"({"payloadIdentifier":"com.example.vpn",)"
                                    R"("applicationBundleIdentifier":"com.example-2.App",)"
                                    R"("organization":null,"apps":["/A.app"]})"));
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->privateKeyGiven);
  EXPECT_EQ(decoded->settings,
            (ExportSettings{"com.example.vpn", "com.example-2.App", std::nullopt, {"/A.app"}}));
  EXPECT_TRUE(ExportPayload::decode(
                  request(R"({"payloadIdentifier":"a.b","applicationBundleIdentifier":"c.d"})",
                          R"(,"privateKey":"k")"))
                  ->privateKeyGiven);

  const std::string names = R"("applicationBundleIdentifier":"c.d")";
  EXPECT_EQ(refusal(std::string(kConnect) + "}"),
            "The request has no member \"export\"; it must be an object.");
  EXPECT_EQ(refusal(request("[]")),
            "Member \"export\" of the request is an array; expected an "
            "object.");
  EXPECT_EQ(refusal(request("{" + names + "}")),
            "Member \"export\" of the request has no member \"payloadIdentifier\"; it must be a "
            "reverse-DNS name such as \"com.example.vpn\".");
  for (const std::string& bad :
       std::vector<std::string>{"vpn", "com..vpn", ".com.vpn", "com.vpn.", "com.my vpn",
                                "com.caf\u00e9", std::string(250, 'a') + ".b.c.d"}) {
    const Json named = {{"payloadIdentifier", bad}, {"applicationBundleIdentifier", "c.d"}};
    EXPECT_EQ(refusal(request(named.dump())),
              "Member \"payloadIdentifier\" of member \"export\" of the request is \"" + bad +
                  "\", which is not a reverse-DNS name: letters, digits and hyphens in at least "
                  "two labels separated by dots, at most 255 bytes.");
  }
  const std::string identified = R"({"payloadIdentifier":"a.b",)" + names;
  EXPECT_EQ(refusal(request(identified + R"(,"organisation":"X"})")),
            "Member \"organisation\" of member \"export\" of the request is not one the tool "
            "knows; the members are \"payloadIdentifier\", \"applicationBundleIdentifier\", "
            "\"organization\" and \"apps\".");
  EXPECT_EQ(refusal(request(identified + R"(,"apps":[1]})")),
            "Element 0 of member \"apps\" of member \"export\" of the request is a number; "
            "expected a string.");
  EXPECT_EQ(refusal(request(identified + R"(,"organization":"A\u0007B"})")),
            "Member \"organization\" of member \"export\" of the request holds a character "
            "that a configuration profile cannot carry: a control character other than tab, line "
            "feed and carriage return, U+FFFE or U+FFFF.");
  EXPECT_EQ(ExportPayload::decode(request(identified + R"(,"organization":"A\tB\nC\rD"})"))
                .value()
                .settings.organization,
            "A\tB\nC\rD");
  EXPECT_EQ(refusal(request(identified + R"(,"organization":"A","organization":"B"})")),
            "Member \"organization\" of member \"export\" of the request is given more than "
            "once.");
  EXPECT_EQ(refusal(request(identified + "}", R"(,"dns":"1.1.1.1\uffff")")),
            "Member \"dns\" of the request holds a character that a configuration profile "
            "cannot carry: a control character other than tab, line feed and carriage return, "
            "U+FFFE or U+FFFF.");
  EXPECT_EQ(refusal(R"({"address":"","dns":"","peerPublicKey":"","peerEndpoint":"",)"
                    R"("allowedIps":"","excludedApps":["/A.app"],"export":)" +
                    identified + "}}"),
            "Member \"excludedApps\" of the request names applications to keep out of the "
            "tunnel, which an exported profile cannot carry; name the applications to send "
            "through it in member \"apps\" of member \"export\".");
  // Decoded as connect decodes it first: a missing member of connect's is named before.
  EXPECT_EQ(refusal(R"({"export":{}})"),
            "The request has no member \"address\"; it must be a string.");
}

// Keys in the order of their bytes, texts escaped, a carriage return kept as one.
TEST(ConfigurationProfile, IsWrittenAsAppleWritesPropertyLists) {
  NETunnelProviderProtocol protocol;
  protocol.providerBundleIdentifier = "provider";
  protocol.serverAddress = "h";
  protocol.providerConfiguration =
      ProviderConfiguration{{"private_key", "SECRET"}, {"mtu", 1280}, {"dns", "d"}};
  const std::vector<NEOnDemandRule> none;
  const std::vector<mobileconfig::AppMapping> mappings = {{"com.example.A", "anchor apple", "/A"}};
  const std::string written = mobileconfig::written({.name = "Kelo VPN",
                                                     .payloadIdentifier = "com.example.vpn",
                                                     .applicationBundleIdentifier = "com.ex.App",
                                                     .organization = "A & B <C>\r",
                                                     .protocol = protocol,
                                                     .onDemandRules = none,
                                                     .mappings = mappings,
                                                     .perApp = true});
  EXPECT_EQ(written.find("SECRET"), std::string::npos);
  EXPECT_TRUE(written.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist"));
  EXPECT_NE(written.find("\t<key>PayloadOrganization</key>\n"
                         "\t<string>A &amp; B &lt;C&gt;&#13;</string>\n"
                         "\t<key>PayloadScope</key>\n"),
            std::string::npos);
  EXPECT_NE(written.find("\t\t\t<key>VendorConfig</key>\n"
                         "\t\t\t<dict>\n"
                         "\t\t\t\t<key>dns</key>\n"
                         "\t\t\t\t<string>d</string>\n"
                         "\t\t\t\t<key>mtu</key>\n"
                         "\t\t\t\t<integer>1280</integer>\n"
                         "\t\t\t</dict>\n"),
            std::string::npos);
  EXPECT_TRUE(written.ends_with("\t<integer>1</integer>\n</dict>\n</plist>\n"));
}

}  // namespace
}  // namespace kelo
