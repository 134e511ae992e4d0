// How the simulated platform's document stores a profile: the mapping between an entry of its
// "profiles" list and the settings of a profile object, and the entry's connection state. Pure;
// used only by the simulated NetworkExtension, on whichever thread calls it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/network_extension.h"
#include "platform/simulated/preferences_file.h"

namespace kelo::simulator {

inline constexpr char kSessionType[] = "tunnelProviderSession";

// The wall clock in seconds since the epoch: the clock a connection's "since" is written in.
double secondsSinceEpoch();

// An entry's "connection"; a missing one is a disconnected tunnel-provider session.
struct ConnectionState {
  std::string type = kSessionType;
  NEVPNStatus status = NEVPNStatusDisconnected;
  std::optional<double> since;  // seconds since the epoch of the simulator's last change
  // The status read before that change, which a lagging status shows for a while.
  std::optional<NEVPNStatus> previous;
  bool failing = false;          // a start that never comes up: it settles as disconnected
  Document failingError;         // the error such a start falls with, as stored
  Document lastDisconnectError;  // as stored: a text, an object, or null
};

ConnectionState storedConnection(const Document& entry);

// Writes the state into the entry's "connection", keeping its other members.
void storeConnection(Document& entry, const ConnectionState& state);

// The entry whose "identifier" is `identifier`, or null.
Document* findEntry(Document& document, const std::string& identifier);

// Description, enabled flag, protocol, rules and on-demand settings of the entry, written onto
// the object. A protocol of another kind than tunnel-provider, and on-demand rules that the
// object does not change, are kept as stored, so that a save writes them back unchanged.
void readSettings(NETunnelProviderManager& manager, const Document& entry);

// Whether the entry was created as a per-app profile.
bool storedAsPerApp(const Document& entry);

// The entry for the object's identity and settings, without a connection.
Document storedSettings(const NETunnelProviderManager& manager);

// The machine's network, which tests write in the document's top-level "network".
struct Network {
  NEOnDemandRuleInterfaceType interfaceType = NEOnDemandRuleInterfaceType::any;
  std::optional<std::string> ssid;
};

// What the system goes by when it brings a profile's tunnel up or down by itself: the on-demand
// settings as last loaded or saved, and the network as last read.
struct OnDemandState {
  bool enabled = false;
  std::vector<NEOnDemandRule> rules;
  std::optional<Network> network;
};

// Where the simulated Mac behaves as a real one does rather than as the defaults have it, as
// the document's top-level "system" says; a member out of its range is not set.
struct MacBehaviour {
  bool dropsStartWhileDisconnecting = false;
  std::optional<double> stopSeconds;       // 0 < s <= 5: a provider slow to stop
  std::optional<double> statusLagSeconds;  // 0 < s <= 2: a status that shows a change late
  bool oneEnabled = false;                 // a profile saved enabled switches every other one off
};

MacBehaviour storedBehaviour(const Document& document);

// Whether the simulated Mac runs `major`.`minor` or later, as the document's top-level "system"
// says; without it, a current macOS does.
bool runsAtLeast(const Document& document, int major, int minor);

// The document's network: Wi-Fi (with its name) or Ethernet; none when "network" is missing
// or names neither.
std::optional<Network> storedNetwork(const Document& document);

}  // namespace kelo::simulator
