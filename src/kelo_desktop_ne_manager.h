// KeloDesktopNEManager: every operation of the tool, as static functions of one type with no
// instances. The driver runs one command's operation under the bounded wait on the main
// thread; later steps run inside platform completions, wherever those are delivered.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "payloads/errors.h"
#include "payloads/requests.h"
#include "payloads/status_payload.h"
#include "tunnel/network_extension.h"
#include "unicode_text.h"

namespace kelo {

// The provider bundle identifier of the companion packet-tunnel extension.
inline constexpr char kProviderBundleIdentifier[] = "com.kelo.vpn.desktop.PacketTunnel";
inline constexpr char kProfileDescription[] = "Kelo VPN";
inline constexpr char kServerAddressFallback[] = "Kelo VPN";
inline constexpr char kCodesignPath[] = "/usr/bin/codesign";
inline constexpr double kTimeLimitSeconds = 15.0;
inline constexpr double kRestartDelaySeconds = 1.0;
inline constexpr int kDiscoveryDepth = 3;
inline constexpr std::int64_t kDefaultMTU = 1280;
inline constexpr std::int64_t kDefaultKeepaliveSeconds = 25;

using ManagerPointer = NETunnelProviderManager::Pointer;

// A per-app profile carries at least one application rule; a full-tunnel profile none.
inline bool hasAppRules(const NETunnelProviderManager& manager) {
  return manager.appRules && !manager.appRules->empty();
}

// A tunnel that is up or coming up must be stopped before new settings can take effect.
inline bool isUpOrComingUp(NEVPNStatus status) {
  return status == NEVPNStatusConnected || status == NEVPNStatusConnecting;
}

// How one application is signed: what a per-app rule needs besides the executable's path.
struct CodeSignature {
  std::string signingIdentifier;
  std::string designatedRequirement;

  bool operator==(const CodeSignature&) const = default;
};

// Canonical executable paths already taken by one discovery, compared in NFC.
class ExecutableSet {
 public:
  // True when the path was not yet there.
  bool insert(std::string_view path) { return keys_.insert(comparisonKey(path)).second; }
  bool contains(std::string_view path) const { return keys_.contains(comparisonKey(path)); }

 private:
  std::set<std::string> keys_;
};

// Where per-app rules come from. The tool always uses `system()`; tests point it elsewhere.
struct AppRuleSources {
  std::vector<std::string> roots;  // application roots, walked in this order
  std::string codesignPath;

  // "/Applications", "/System/Applications", ~/Applications, and "/usr/bin/codesign".
  static AppRuleSources system();
};

class KeloDesktopNEManager {
 public:
  KeloDesktopNEManager() = delete;

  // The driver: takes the process arguments, writes one document, returns the exit status.
  static int main(std::span<const std::string> arguments);

  // Profile store.
  static void loadAllManagers(Completion<std::vector<ManagerPointer>> completion);
  static void removeManagers(std::vector<ManagerPointer> managers, Completion<void> completion);
  static void save(ManagerPointer manager, Completion<ManagerPointer> completion);

  // Profile configuration.
  static Result<void> configure(NETunnelProviderManager& manager, const ConnectPayload& payload,
                                bool perAppMode,
                                const AppRuleSources& sources = AppRuleSources::system());
  static std::optional<std::string> endpointHost(std::string_view from);

  // Tunnel start, stop and status.
  static void start(ManagerPointer manager, Completion<StatusPayload> completion);
  // Asks the running tunnel to stop and calls `start` again after the restart delay.
  static void stopAndRestart(ManagerPointer manager, Completion<StatusPayload> completion);
  static void disconnect(Completion<StatusPayload> completion);
  static void status(Completion<StatusPayload> completion);
  static StatusPayload statusPayload(const NETunnelProviderManager& manager);

  // The connect command.
  static void connect(ConnectPayload payload, Completion<StatusPayload> completion,
                      AppRuleSources sources = AppRuleSources::system());

  // Per-app split tunnelling.
  static Result<std::string> canonicalExecutablePath(std::string_view from);
  static std::vector<std::string> discoverInstalledApplications(
      const std::vector<std::string>& roots = AppRuleSources::system().roots);
  static void collectApplications(const std::string& in, int depthRemaining, ExecutableSet& seen,
                                  std::vector<std::string>& executables);
  static Result<CodeSignature> fetchCodeSignature(const std::string& path,
                                                  const std::string& codesignPath = kCodesignPath);
  static Result<std::vector<NEAppRule>> buildIncludedAppRules(
      const std::vector<std::string>& excluding,
      const AppRuleSources& sources = AppRuleSources::system());
  static void updateAppRules(AppRulePayload payload, Completion<StatusPayload> completion,
                             AppRuleSources sources = AppRuleSources::system());
};

}  // namespace kelo
