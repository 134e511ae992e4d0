#include "support/recording_platform.h"

#include <map>
#include <mutex>

#include "platform/run_loop.h"

namespace kelo {

namespace {

using testing::recording::Protocol;
using testing::recording::StoredProfile;

struct Platform {
  std::mutex mutex;
  std::vector<StoredProfile> profiles;
  std::map<std::string, std::optional<std::string>> failures;
  std::vector<std::string> log;
};

Platform& platform() {
  static Platform* const state = new Platform;
  return *state;
}

// Records the request, with `detail` in the log; answers with its injected failure, if any, or
// with nothing when it must never complete.
std::optional<std::expected<void, PlatformError>> request(const std::string& name,
                                                          const std::string& detail = "") {
  std::lock_guard lock(platform().mutex);
  platform().log.push_back(name + detail);
  const auto failure = platform().failures.find(name);
  if (failure == platform().failures.end()) {
    return std::expected<void, PlatformError>{};
  }
  if (!failure->second) {
    return std::nullopt;
  }
  return std::unexpected(PlatformError{*failure->second});
}

template <class Handler, class Value>
void deliver(Handler handler, std::optional<Value> value) {
  if (value) {
    runloop::post([handler = std::move(handler), value = std::move(*value)]() mutable {
      handler(std::move(value));
    });
  }
}

class RecordingConnection : public NETunnelProviderSession {
 public:
  RecordingConnection(std::string identifier, std::vector<NEVPNStatus> statuses)
      : identifier_(std::move(identifier)), statuses_(std::move(statuses)) {}

  NEVPNStatus status() const override {
    std::lock_guard lock(mutex_);
    return statuses_[std::min(reads_++, statuses_.size() - 1)];
  }
  void stopVPNTunnel() override { (void)request("stop " + identifier_); }
  // Starting answers at once: it can fail, but not stay silent.
  std::expected<void, PlatformError> startVPNTunnel() override {
    return request("start " + identifier_).value_or(std::expected<void, PlatformError>{});
  }

 private:
  std::string identifier_;
  std::vector<NEVPNStatus> statuses_;
  mutable std::mutex mutex_;
  mutable std::size_t reads_ = 0;
};

// A connection that is not a tunnel-provider session: it can be stopped, never started.
class PlainConnection final : public NEVPNConnection {
 public:
  explicit PlainConnection(std::shared_ptr<RecordingConnection> recorded)
      : recorded_(std::move(recorded)) {}
  NEVPNStatus status() const override { return recorded_->status(); }
  void stopVPNTunnel() override { recorded_->stopVPNTunnel(); }

 private:
  std::shared_ptr<RecordingConnection> recorded_;
};

class OtherProtocol final : public NEVPNProtocol {};

std::shared_ptr<NEVPNProtocol> protocolOf(Protocol kind) {
  switch (kind) {
    case Protocol::none:
      return nullptr;
    case Protocol::otherKind:
      return std::make_shared<OtherProtocol>();
    default:
      break;
  }
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  if (kind == Protocol::tool) {
    protocol->providerBundleIdentifier = "com.kelo.vpn.desktop.PacketTunnel";
  } else if (kind == Protocol::providerInOtherCase) {
    protocol->providerBundleIdentifier = "com.kelo.vpn.desktop.packetTunnel";
  } else if (kind == Protocol::otherProvider) {
    protocol->providerBundleIdentifier = "com.example.other";
  }
  return protocol;
}

NETunnelProviderManager::Pointer makeManager(const StoredProfile& stored) {
  auto recorded = std::make_shared<RecordingConnection>(stored.identifier, stored.statuses);
  std::shared_ptr<NEVPNConnection> connection = recorded;
  if (!stored.session) {
    connection = std::make_shared<PlainConnection>(std::move(recorded));
  }
  auto manager = std::make_shared<NETunnelProviderManager>(
      stored.identifier, !stored.appRules.empty(), std::move(connection));
  manager->protocolConfiguration = protocolOf(stored.protocol);
  manager->enabled = true;
  manager->appRules = stored.appRules;
  return manager;
}

NETunnelProviderManager::Pointer newProfile(bool perAppVPN) {
  (void)request(perAppVPN ? "new per-app profile" : "new profile");
  return makeManager({.identifier = "NEW"});
}

}  // namespace

namespace testing::recording {

void reset(std::vector<StoredProfile> profiles) {
  std::lock_guard lock(platform().mutex);
  platform().profiles = std::move(profiles);
  platform().failures.clear();
  platform().log.clear();
}

void fail(const std::string& request, std::optional<std::string> description) {
  std::lock_guard lock(platform().mutex);
  platform().failures[request] = std::move(description);
}

std::vector<std::string> log() {
  std::lock_guard lock(platform().mutex);
  return platform().log;
}

}  // namespace testing::recording

void NETunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completionHandler) {
  using Loaded = std::expected<std::vector<Pointer>, PlatformError>;
  const auto answer = request("loadAll");
  std::optional<Loaded> loaded;
  if (answer && !*answer) {
    loaded = std::unexpected(answer->error());
  } else if (answer) {
    std::lock_guard lock(platform().mutex);
    std::vector<Pointer> managers;
    for (const auto& stored : platform().profiles) {
      managers.push_back(makeManager(stored));
    }
    loaded = std::move(managers);
  }
  deliver(std::move(completionHandler), std::move(loaded));
}

NETunnelProviderManager::Pointer NETunnelProviderManager::init() {
  return newProfile(false);
}

NETunnelProviderManager::Pointer NETunnelProviderManager::forPerAppVPN() {
  return newProfile(true);
}

void NETunnelProviderManager::saveToPreferences(CompletionHandler completionHandler) {
  const std::size_t rules = appRules ? appRules->size() : 0;
  deliver(std::move(completionHandler),
          request("save " + identifier_, " with " + std::to_string(rules) + " rules"));
}

void NETunnelProviderManager::loadFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("reload " + identifier_));
}

void NETunnelProviderManager::removeFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("remove " + identifier_));
}

}  // namespace kelo
