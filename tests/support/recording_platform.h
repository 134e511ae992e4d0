// A NetworkExtension backend for tests, in memory, that records every platform request in the
// order the tool made it, the way a fake file system records what was asked of it. Linked in
// place of the simulated platform, it checks the order of a command's platform requests in
// process. Completions go through the main run loop, as on every platform; delayed work is
// recorded and run at once, so a restart costs no real second.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/network_extension.h"

namespace kelo::testing::recording {

// A stored profile: an identifier, the statuses its connection reports one read after
// another (the last one repeats), and application rules (none: a full-tunnel profile).
struct StoredProfile {
  std::string identifier;
  std::vector<NEVPNStatus> statuses = {NEVPNStatusDisconnected};
  std::vector<NEAppRule> appRules = {};
  bool toolProfile = true;  // false: another provider's profile
};

// Replaces the stored profiles, the failures and the log.
void reset(std::vector<StoredProfile> profiles);

// Makes an operation fail with a platform error: "loadAll", "save", "reload", "start", or
// "remove <identifier>".
void fail(const std::string& operation, const std::string& description);

// The requests made since the last reset, one line each: "loadAll", "remove ID", "save ID",
// "reload ID", "stop ID", "start ID", "after 1.0 s", "new profile" and "new per-app profile".
std::vector<std::string> log();

// The application rule count of each save, in order.
std::vector<std::size_t> savedRuleCounts();

}  // namespace kelo::testing::recording
