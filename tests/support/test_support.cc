#include "support/test_support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelo::testing {

namespace fs = std::filesystem;

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (fs::temp_directory_path() / "kelo-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  // Resolved, as the tool resolves what it reports: on a Mac $TMPDIR lies under /var, a link.
  path_ = fs::canonical(pattern).string();
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void makeDirectories(const std::string& path) {
  fs::create_directories(path);
}

void writeFile(const std::string& path, const std::string& contents, unsigned mode) {
  fs::create_directories(fs::path(path).parent_path());
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << contents;
    if (!file) {
      throw std::runtime_error("cannot write " + path);
    }
  }
  chmod(path.c_str(), mode);
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool exists(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0;
}

void makeSymlink(const std::string& target, const std::string& link) {
  fs::create_directories(fs::path(link).parent_path());
  fs::create_symlink(target, link);
}

std::string preferencesPath(const std::string& home) {
  return home + "/.local/state/kelo-ne-manager/vpn-preferences.json";
}

void seedPreferences(const std::string& home, const Json& document) {
  writeFile(preferencesPath(home), document.dump(2), 0600);
}

Json readPreferences(const std::string& home) {
  return Json::parse(readFile(preferencesPath(home)));
}

Json toolProfile(const std::string& identifier, std::int64_t status, std::optional<Json> appRules) {
  Json profile = {
      {"identifier", identifier},
      {"localizedDescription", "Kelo VPN"},
      {"enabled", true},
      {"perAppVPN", appRules.has_value()},
      {"protocol",
       {{"type", "tunnelProvider"},
        {"providerBundleIdentifier", "com.kelo.vpn.desktop.PacketTunnel"},
        {"serverAddress", "198.51.100.7"},
        {"providerConfiguration", {{"private_key", "old"}, {"mtu", 1420}}}}},
      {"connection", {{"type", "tunnelProviderSession"}, {"status", status}}},
  };
  if (appRules) {
    profile["appRules"] = *appRules;
  }
  return profile;
}

Json appRule(const std::string& identifier) {
  return {{"signingIdentifier", identifier},
          {"designatedRequirement", "identifier \"" + identifier + "\""},
          {"matchPath", "/Applications/" + identifier + ".app/Contents/MacOS/" + identifier}};
}

Json profileWithIdentifier(const Json& document, const std::string& identifier) {
  for (const auto& profile : document["profiles"]) {
    if (profile["identifier"] == identifier) {
      return profile;
    }
  }
  return nullptr;
}

}  // namespace kelo::testing
