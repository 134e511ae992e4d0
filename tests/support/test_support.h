// Helpers shared by the unit and black-box tests: temporary folders, files, and preference
// documents seeded the way a caller of the tool would seed them.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kelo::testing {

using Json = nlohmann::ordered_json;

class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& relative) const { return path_ + "/" + relative; }

 private:
  std::string path_;
};

// Creates the parent folders as needed.
void writeFile(const std::string& path, const std::string& contents, unsigned mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);
void makeDirectories(const std::string& path);
void makeSymlink(const std::string& target, const std::string& link);

// Where the simulated platform keeps its preferences for a home directory.
std::string preferencesPath(const std::string& home);
void seedPreferences(const std::string& home, const Json& document);
Json readPreferences(const std::string& home);

// A stored profile of the tool; rules, when given, make it a per-app profile.
Json toolProfile(const std::string& identifier, std::int64_t status,
                 std::optional<Json> appRules = std::nullopt);
Json appRule(const std::string& identifier);
// The stored profile with this identifier, or null.
Json profileWithIdentifier(const Json& document, const std::string& identifier);

}  // namespace kelo::testing
