// A NetworkExtension backend for tests, in memory, that records every platform request in the
// order the tool made it, the way a fake file system records what was asked of it. Every
// in-process test of tunnel/ and the commands links it in place of a real backend. Completions
// go through the main run loop, as on every platform.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/network_extension.h"

namespace kelo::testing::recording {

// What a stored profile's protocol is: the tool's, or one of the kinds that are not the tool's.
enum class Protocol { tool, otherProvider, providerInOtherCase, noProvider, otherKind, none };

struct StoredProfile {
  std::string identifier;
  // What its connection reports, one read after another; the last one repeats.
  std::vector<NEVPNStatus> statuses = {NEVPNStatusDisconnected};
  std::vector<NEAppRule> appRules = {};  // none: a full-tunnel profile
  Protocol protocol = Protocol::tool;
  bool session = true;    // false: a plain connection, on which nothing can be started
  bool onDemand = false;  // true: on-demand on, with one rule
  // When the tunnel last came up, whatever the status reads now, as a Mac keeps it.
  std::optional<double> connectedDate = std::nullopt;
};

// Replaces the stored profiles, the injected failures and the log.
void reset(std::vector<StoredProfile> profiles);

// Makes a request fail with a platform error of this description, or, without one, never
// complete. Requests are named as in the log, with or without the detail of a save: "loadAll",
// "remove B", "save A", "save A with 0 rules, on demand", "reload A", "start A".
void fail(const std::string& request, std::optional<std::string> description);

// The requests made since the last reset, in order and joined with ", ": "loadAll", "new
// profile", "new per-app profile", "remove ID", "save ID with N rules" (and ", M on-demand
// rules" and ", on demand" when the profile has them), "reload ID", "stop ID", "start ID",
// "observe configuration" and "observe ID".
std::string requests();

// Posts the notification to every observer of it that lives ("status" to those of every
// connection), as another process's change would. Any thread.
void postStatusDidChange();
void postConfigurationChange();

// The next "loadAll" delivers the profiles stored now, and meanwhile another process stores
// these: the configuration change is posted with the load's completion.
void changeDuringNextLoad(std::vector<StoredProfile> profiles);

}  // namespace kelo::testing::recording
