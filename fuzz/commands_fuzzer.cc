// Whole commands, in process, through the command table the tool's main runs after its set-up,
// against the simulated platform in a home of the fuzzer's own; aborts when a promise to the
// caller breaks (one document of the outcome's kind; the preferences valid, or unchanged, and
// changed only as the simulator's rules allow; no temporary file; one tool profile after a
// successful connect, none after a successful remove; "status", "wait" and "export" change
// nothing, and an exported profile holds no private key). Input:
// byte 0 the command, byte 1 the fault (low nibble), whether applications are found (bit 4) and
// whether protocol 2 is asked for (bit 5), bytes 2-3 the request's length (big-endian), the
// request, then the preferences document. A run's bound is a quarter of a second, so that a silent
// platform ends quickly.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "command_table.h"
#include "payloads/failure_document.h"
#include "payloads/status_payload.h"
#include "platform/simulated/preferences_file.h"

namespace {

using Json = nlohmann::ordered_json;
namespace fs = std::filesystem;

constexpr char kToolProvider[] = "com.kelo.vpn.desktop.PacketTunnel";
constexpr std::array<const char*, 8> kWords = {
    "connect", "disconnect", "status", "update-app-rules", "remove", "Status", "wait", "export"};

struct Place {
  fs::path home;
  fs::path state;  // the simulated platform's folder
  fs::path roots;  // application roots with a few applications
  fs::path codesign;
  fs::path request;
};
Place place;

void write(const fs::path& path, const std::string& bytes,
           fs::perms mode = fs::perms::owner_read | fs::perms::owner_write) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  fs::permissions(path, mode);
}

std::string read(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "commands_fuzzer: %s\n", what);
    std::abort();
  }
}

bool isTool(const Json& profile) {
  const auto protocol = profile.find("protocol");
  if (protocol == profile.end() || !protocol->is_object()) {
    return false;
  }
  const auto provider = protocol->find("providerBundleIdentifier");
  return provider != protocol->end() && provider->is_string() && *provider == kToolProvider &&
         protocol->value("type", Json()) == "tunnelProvider";
}

// The fault of the low nibble (1 to 9: none otherwise), set into a document that has room for
// it.
void setFault(Json& document, int fault) {
  static const std::array<std::pair<const char*, Json>, 9> kFaults = {{
      {"loadAll", "no load"},
      {"save", "no save"},
      {"reload", "no reload"},
      {"start", "no start"},
      {"stopIgnored", true},
      {"silent", Json::array({"loadAll"})},
      {"silent", Json::array({"save"})},
      {"silent", Json::array({"reload"})},
      {"silent", Json::array({"remove"})},
  }};
  if (!document.is_object() || fault == 0) {
    return;
  }
  Json& faults = document["faults"];
  if (!faults.is_object()) {
    faults = Json::object();
  }
  if (fault <= static_cast<int>(kFaults.size())) {
    const auto& [name, value] = kFaults[static_cast<std::size_t>(fault - 1)];
    faults[name] = value;
  }
}

void checkPreferences(const std::string& before, const std::string& after, bool existed,
                      const std::string& word) {
  if (existed && after == before) {
    return;
  }
  check(word != "status" && word != "wait" && word != "export",
        "a command that only reads changed the preferences");
  const auto parsedAfter = kelo::simulator::parsePreferences(after, "after");
  check(parsedAfter.has_value(), "the preferences are not valid after the run");
  if (!existed) {
    return;  // written afresh: only tool profiles can be in it
  }
  const auto parsedBefore = kelo::simulator::parsePreferences(before, "before");
  check(parsedBefore.has_value(), "an unreadable preferences file was rewritten");
  Json old = *parsedBefore;
  Json now = *parsedAfter;
  const auto others = [](const Json& document) {
    Json found = Json::array();
    for (const auto& profile : document.value("profiles", Json::array())) {
      if (!isTool(profile)) {
        found.push_back(profile);
      }
    }
    return found;
  };
  check(others(old) == others(now), "another application's profile changed");
  old.erase("profiles");
  now.erase("profiles");
  check(old == now, "a member other than the profiles changed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/kelo-commands-fuzzer-XXXXXX";
  place.home = mkdtemp(folder);
  place.state = place.home / ".local/state/kelo-ne-manager";
  place.roots = place.home / "roots";
  place.codesign = place.home / "codesign";
  place.request = place.home / "request";
  for (const char* name : {"Mail", "Editor", "Unsigned"}) {
    const fs::path bundle = place.roots / (std::string(name) + ".app") / "Contents/MacOS";
    fs::create_directories(bundle);
    write(bundle / name, "", fs::perms::owner_all);
  }
  write(place.codesign,
        "#!/bin/sh\n"
        "case \"$4\" in *Unsigned*) echo 'code object is not signed at all' >&2; exit 1;; esac\n"
        "name=$(basename \"$4\")\n"
        "echo \"Identifier=com.example.$name\" >&2\n"
        "echo \"designated => identifier \\\"com.example.$name\\\"\"\n",
        fs::perms::owner_all);
  setenv("HOME", place.home.c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) {
    return 0;
  }
  const std::string word = kWords[data[0] % kWords.size()];
  const int fault = data[1] & 0x0f;
  const bool applications = (data[1] & 0x10) != 0;
  const bool second = (data[1] & 0x20) != 0;
  const std::size_t requestSize = std::min<std::size_t>((data[2] << 8) | data[3], size - 4);
  const std::string request(reinterpret_cast<const char*>(data) + 4, requestSize);
  std::string preferences(reinterpret_cast<const char*>(data) + 4 + requestSize,
                          size - 4 - requestSize);

  fs::remove_all(place.state);
  const bool existed = !preferences.empty();
  if (existed) {
    Json document = Json::parse(preferences, nullptr, false);
    if (!document.is_discarded()) {
      setFault(document, fault);
      preferences = document.dump(2);
    }
    fs::create_directories(place.state);
    fs::permissions(place.state, fs::perms::owner_all);
    write(place.state / "vpn-preferences.json", preferences);
  }
  write(place.request, request);
  const int input = open(place.request.c_str(), O_RDONLY | O_CLOEXEC);
  check(input >= 0 && dup2(input, STDIN_FILENO) == STDIN_FILENO, "the request cannot be given");
  close(input);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(250);
  const kelo::Surroundings surroundings{
      deadline, [&] {
        return kelo::commands::Context{
            deadline,
            std::chrono::milliseconds(5),
            {applications ? std::vector<std::string>{place.roots.string()}
                          : std::vector<std::string>{},
             place.codesign.string(), 4}};
      }};
  std::vector<std::string> arguments = {"kelo-ne-manager", word};
  if (second) {
    arguments.emplace_back("--protocol=2");
  }
  const auto protocol = kelo::requestedProtocol(arguments);
  const auto result = kelo::runCommand(arguments, surroundings);

  // Exactly one document, of the kind the outcome says.
  const std::string document =
      result ? kelo::encoded(*result, protocol) : kelo::failureDocument(result.error(), protocol);
  const Json parsed = Json::parse(document, nullptr, false);
  check(parsed.is_object(), "the document is not a JSON object");
  if (result && word == "export") {
    check(parsed.size() == 7 && parsed["mobileconfig"].is_string(),
          "an export without its members");
    // As a key: a text of the request may hold the same letters.
    check(parsed["mobileconfig"].get<std::string>().find("<key>private_key</key>") ==
              std::string::npos,
          "an exported profile carries the private key");
  } else if (result) {
    check(parsed.size() >= (second ? 15u : 7u) && parsed.size() <= (second ? 16u : 7u),
          "a status document without its members");
    check(!second || parsed["appRules"].size() == parsed["appRuleCount"].get<std::size_t>(),
          "a status document whose rules are not as many as it counts");
  } else {
    check(parsed.contains("error") && parsed["error"].is_string(), "a failure without its text");
    check(parsed.size() == 1 || (second && parsed.contains("code") && parsed["code"].is_string()),
          "a failure document with members its protocol does not have");
  }

  const fs::path file = place.state / "vpn-preferences.json";
  check(word != "export" || existed || !fs::exists(place.state),
        "an export created the profile store");
  const bool exists = fs::exists(file);
  check(exists || !existed, "the preferences file vanished");
  if (exists) {
    checkPreferences(preferences, read(file), existed, word);
    if (result && (word == "connect" || word == "remove")) {
      int tools = 0;
      for (const auto& profile : kelo::simulator::parsePreferences(read(file), "after")
                                     ->value("profiles", Json::array())) {
        tools += isTool(profile) ? 1 : 0;
      }
      check(word != "connect" || tools == 1,
            "a successful connect did not leave exactly one tool profile");
      check(word != "remove" || tools == 0, "a successful remove left a tool profile");
    }
  }
  if (fs::exists(place.state)) {
    for (const auto& entry : fs::directory_iterator(place.state)) {
      check(entry.path().filename().string().find("kelo-ne-manager-write-") == std::string::npos,
            "a temporary file was left behind");
    }
  }
  return 0;
}
