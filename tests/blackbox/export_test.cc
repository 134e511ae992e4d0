// "export" through the binary: the configuration profile read back by a property-list reader
// that shares nothing with the tool (Python's), key for key; the same bytes for the same
// request; no private key anywhere; refusals before anything is inspected; and no profile
// store read, written or created.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "blackbox/tool_runner.h"

namespace kelo::testing {
namespace {

std::string machO() {
  return std::string("\xCF\xFA\xED\xFE\x0C\0\0\x01\0\0\0\0\x02\0\0\0", 16) + std::string(16, '\0');
}

class Export : public ToolTest {
 protected:
  void SetUp() override {
    // Signs every executable with its name, Apple's own with Apple's prefix, and records each.
    writeFile(home_ / ".codesign",
              "#!/bin/sh\necho \"$4\" >> \"$HOME/calls\"\nname=$(basename \"$4\")\n"
              "maker=example\ncase \"$name\" in Apple*) maker=apple;; esac\n"
              "echo \"Identifier=com.$maker.$name\" >&2\n"
              "echo \"designated => identifier \\\"com.$maker.$name\\\" and anchor apple\"\n",
              0755);
  }
  ToolRun exported(const Json& request, bool second = false) const {
    std::vector<std::string> arguments = {"export"};
    if (second) {
      arguments.emplace_back("--protocol=2");
    }
    return runTool({.arguments = arguments,
                    .input = request.dump(),
                    .home = home_.path(),
                    .homeCodesign = true});
  }
  // The profile of a successful run, as the independent reader reads it.
  Json profileOf(const ToolRun& run) const {
    EXPECT_EQ(run.exitStatus, 0) << run.standardError;
    const std::string file = home_ / "profile.mobileconfig";
    writeFile(file, Json::parse(run.standardOutput)["mobileconfig"].get<std::string>());
    const std::string command = "/usr/bin/python3 '" KELO_READ_PROPERTY_LIST "' < '" + file + "'";
    FILE* reader = popen(command.c_str(), "r");
    std::string text;
    std::array<char, 4096> buffer{};
    for (std::size_t read = 0; (read = fread(buffer.data(), 1, buffer.size(), reader)) > 0;) {
      text.append(buffer.data(), read);
    }
    EXPECT_EQ(pclose(reader), 0) << text;
    std::filesystem::remove(file);
    return Json::parse(text);
  }
  // Compared as dictionaries are: whatever the order of their keys.
  static nlohmann::json unordered(const Json& value) { return nlohmann::json::parse(value.dump()); }
  static Json request(const Json& exportMember) {
    Json made = connectRequest();
    made["export"] = exportMember;
    return made;
  }
  std::vector<std::string> homeEntries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(home_.path())) {
      names.push_back(entry.path().filename());
    }
    std::ranges::sort(names);
    return names;
  }
};

const Json kNames = {{"payloadIdentifier", "com.example.vpn"},
                     {"applicationBundleIdentifier", "com.kelo.vpn.desktop"}};

Json vpnPayload(const std::string& uuid, const Json& vpn, const std::string& type) {
  return {{"PayloadIdentifier", "com.example.vpn.vpn"},
          {"PayloadType", type},
          {"PayloadUUID", uuid},
          {"PayloadVersion", 1},
          {"UserDefinedName", "Kelo VPN"},
          {"VPNType", "VPN"},
          {"VPNSubType", "com.kelo.vpn.desktop"},
          {"VPN", vpn},
          {"VendorConfig",
           {{"address", "10.8.0.2/32, fd00::2/128"},
            {"dns", "1.1.1.1"},
            {"peer_public_key", "cGVlcg=="},
            {"peer_endpoint", "[2001:db8::1]:51820"},
            {"allowed_ips", "0.0.0.0/0, ::/0"},
            {"mtu", 1280},
            {"keepalive_seconds", 25}}}};
}

Json vpnSettings(int includeAll, int excludeLocal) {
  return {{"AuthenticationMethod", "Password"},
          {"ProviderBundleIdentifier", "com.kelo.vpn.desktop.PacketTunnel"},
          {"ProviderType", "packet-tunnel"},
          {"RemoteAddress", "2001:db8::1"},
          {"IncludeAllNetworks", includeAll},
          {"ExcludeLocalNetworks", excludeLocal}};
}

Json profile(const Json& answer, const std::vector<Json>& payloads) {
  return {{"PayloadContent", payloads},
          {"PayloadDisplayName", "Kelo VPN"},
          {"PayloadIdentifier", "com.example.vpn"},
          {"PayloadScope", "System"},
          {"PayloadType", "Configuration"},
          {"PayloadUUID", answer["payloadUUID"]},
          {"PayloadVersion", 1}};
}

TEST_F(Export, AFullTunnelCarriesTheConnectSettingsAndNoPrivateKey) {
  const auto plain = exported(request(kNames));
  const Json answer = Json::parse(plain.standardOutput);
  const Json read = profileOf(plain);
  EXPECT_EQ(answer["payloadUUID"], "D8931B82-D7D2-5C01-A44D-52A68993B824");
  EXPECT_EQ(unordered(read),
            unordered(profile(answer, {vpnPayload(read["PayloadContent"][0]["PayloadUUID"],
                                                  vpnSettings(1, 0), "com.apple.vpn.managed")})));
  EXPECT_EQ(answer["vpnUUID"], nullptr);
  EXPECT_EQ(answer["appMappings"], Json::array());
  EXPECT_EQ(answer["notExported"], Json::array({"privateKey"}));
  EXPECT_EQ(plain.standardOutput.find("cHJpdmF0ZQ=="), std::string::npos);

  // The policy, on-demand rules and the organisation; what the profile cannot carry is named.
  Json chosen = request({{"payloadIdentifier", "com.example.vpn"},
                         {"applicationBundleIdentifier", "com.kelo.vpn.desktop"},
                         {"organization", "Example & Co"}});
  chosen.erase("privateKey");
  chosen["networkPolicy"] = {{"includeAllNetworks", false},
                             {"excludeLocalNetworks", true},
                             {"enforceRoutes", true},
                             {"disconnectOnSleep", true}};
  chosen["onDemandRules"] =
      Json::parse(R"([{"action":"disconnect","interfaceType":"wifi","ssids":["Home","Office"]},)"
                  R"({"action":"ignore","interfaceType":"ethernet"},{"action":"connect"}])");
  const auto withPolicy = exported(chosen);
  Json vpn = vpnSettings(0, 1);
  vpn["EnforceRoutes"] = 1;
  vpn["OnDemandEnabled"] = 1;
  vpn["OnDemandRules"] = Json::parse(
      R"([{"Action":"Disconnect","InterfaceTypeMatch":"WiFi","SSIDMatch":["Home","Office"]},)"
      R"({"Action":"Ignore","InterfaceTypeMatch":"Ethernet"},{"Action":"Connect"}])");
  const Json policyAnswer = Json::parse(withPolicy.standardOutput);
  Json expected =
      profile(policyAnswer,
              {vpnPayload(read["PayloadContent"][0]["PayloadUUID"], vpn, "com.apple.vpn.managed")});
  expected["PayloadOrganization"] = "Example & Co";
  EXPECT_EQ(unordered(profileOf(withPolicy)), unordered(expected));
  EXPECT_EQ(policyAnswer["notExported"], Json::array({"disconnectOnSleep"}));

  // The same request gives the same bytes; another identifier, other UUIDs. Nothing was
  // created in the home, and no profile store was looked for.
  EXPECT_EQ(exported(chosen).standardOutput, withPolicy.standardOutput);
  chosen["export"]["payloadIdentifier"] = "com.example.other";
  const Json other = Json::parse(exported(chosen).standardOutput);
  EXPECT_NE(other["payloadUUID"], policyAnswer["payloadUUID"]);
  EXPECT_EQ(other["mobileconfig"].get<std::string>().find(
                read["PayloadContent"][0]["PayloadUUID"].get<std::string>()),
            std::string::npos);
  EXPECT_EQ(homeEntries(), std::vector<std::string>{".codesign"});
}

// Per app: the listed applications and their nested code, mapped by signature to the VPN
// payload's VPNUUID; Apple's code is left out and reported; an application that is not listed
// is never inspected; a store that cannot be read is not read.
TEST_F(Export, PerAppMapsTheListedApplicationsAndReadsNoStore) {
  writeFile(home_ / "Apps/Mail.app/Contents/Info.plist",
            "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>Mail</string>"
            "</dict></plist>\n");
  writeFile(home_ / "Apps/Mail.app/Contents/MacOS/Mail", "", 0755);
  writeFile(home_ / "Apps/Mail.app/Contents/Helpers/Sync", machO(), 0755);
  writeFile(home_ / "Apps/Mail.app/Contents/Helpers/AppleAgent", machO(), 0755);
  writeFile(home_ / "Apps/Unlisted.app/Contents/MacOS/Unlisted", "", 0755);
  writeFile(preferencesPath(home_.path()), "{", 0600);
  const std::string mail = home_ / "Apps/Mail.app";
  Json names = kNames;
  names["apps"] = {mail};
  const auto run = exported(request(names), true);
  const Json answer = Json::parse(run.standardOutput);
  const Json read = profileOf(run);
  const std::string vpnUUID = answer["vpnUUID"];
  Json vpn = vpnPayload(read["PayloadContent"][0]["PayloadUUID"], vpnSettings(0, 0),
                        "com.apple.vpn.managed.applayer");
  vpn["VPNUUID"] = vpnUUID;
  const auto item = [&](const std::string& name) {
    return Json{
        {"Identifier", "com.example." + name},
        {"SigningIdentifier", "com.example." + name},
        {"DesignatedRequirement", "identifier \"com.example." + name + "\" and anchor apple"},
        {"VPNUUID", vpnUUID}};
  };
  const Json mapping = {{"AppLayerVPNMapping", {item("Mail"), item("Sync")}},
                        {"PayloadIdentifier", "com.example.vpn.appmapping"},
                        {"PayloadType", "com.apple.vpn.managed.appmapping"},
                        {"PayloadUUID", read["PayloadContent"][1]["PayloadUUID"]},
                        {"PayloadVersion", 1}};
  EXPECT_EQ(unordered(read), unordered(profile(answer, {vpn, mapping})));
  EXPECT_EQ(answer["appMappings"],
            Json::parse(R"([{"signingIdentifier":"com.example.Mail","designatedRequirement":)"
                        R"("identifier \"com.example.Mail\" and anchor apple","application":")" +
                        mail +
                        R"("},{"signingIdentifier":"com.example.Sync","designatedRequirement":)"
                        R"("identifier \"com.example.Sync\" and anchor apple","application":")" +
                        mail + R"("}])"));
  EXPECT_EQ(
      answer["skippedApplications"],
      Json::array({{{"path", mail + "/Contents/Helpers/AppleAgent"}, {"reason", "systemApp"}}}));
  EXPECT_EQ(readFile(home_ / "calls").find("Unlisted"), std::string::npos);
  EXPECT_EQ(readFile(preferencesPath(home_.path())), "{");
}

// A signature with a character that XML cannot write fails the export by the application's
// name, rather than give a profile that no Mac can read.
TEST_F(Export, RefusesASignatureThatAProfileCannotCarry) {
  writeFile(home_ / ".codesign",
            "#!/bin/sh\nprintf 'Identifier=com.example.odd\\001one\\n' >&2\n"
            "echo 'designated => identifier \"com.example.odd\" and anchor apple'\n",
            0755);
  writeFile(home_ / "Apps/Odd.app/Contents/MacOS/Odd", "", 0755);
  const std::string odd = home_ / "Apps/Odd.app";
  Json names = kNames;
  names["apps"] = {odd};
  const auto refused = exported(request(names), true);
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(refused.standardOutput, "");
  EXPECT_EQ(Json::parse(refused.standardError),
            Json::parse(R"({"error":"A code signature in )" + odd +
                        R"( holds a character that a configuration profile cannot carry: a )"
                        R"(control character other than tab, line feed and carriage return, )"
                        R"(U+FFFE or U+FFFF. Leave it out of \"apps\" to export the others.",)"
                        R"("code":"noUsableRules","step":"inspect"})"));
}

// Refused as the request is decoded, before any application is inspected; an application that
// is not installed is named with every other such entry.
TEST_F(Export, RefusesBeforeInspectingAnything) {
  writeFile(home_ / "Apps/Mail.app/Contents/MacOS/Mail", "", 0755);
  const std::string mail = home_ / "Apps/Mail.app";
  Json excluding = request(kNames);
  excluding["excludedApps"] = {mail};
  const auto refused = exported(excluding, true);
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_EQ(Json::parse(refused.standardError)["code"], "invalidRequest");
  EXPECT_EQ(Json::parse(refused.standardError)["step"], "request");
  Json names = kNames;
  names["apps"] = {mail, home_ / "Gone.app", "/nowhere/Else.app"};
  const auto missing = exported(request(names), true);
  EXPECT_EQ(missing.exitStatus, 1);
  const Json failure = Json::parse(missing.standardError);
  EXPECT_EQ(failure["code"], "applicationNotFound");
  EXPECT_EQ(failure["paths"], Json::array({home_ / "Gone.app", "/nowhere/Else.app"}));
  EXPECT_FALSE(exists(home_ / "calls"));
  expectFailure(exported(request({{"payloadIdentifier", "vpn"}})),
                R"(Member \"payloadIdentifier\" of member \"export\" of the request is \"vpn\", )"
                R"(which is not a reverse-DNS name: letters, digits and hyphens in at least two )"
                R"(labels separated by dots, at most 255 bytes.)");
}

}  // namespace
}  // namespace kelo::testing
