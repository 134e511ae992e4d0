#include "support/recording_platform.h"

#include <map>
#include <mutex>

#include "platform/run_loop.h"

namespace kelo {

namespace {

using testing::recording::Protocol;
using testing::recording::StoredProfile;
using Answer = std::expected<void, PlatformError>;

struct Platform {
  std::mutex mutex;
  std::vector<StoredProfile> profiles;
  std::map<std::string, std::optional<std::string>> failures;
  std::vector<std::string> log;
  std::vector<std::weak_ptr<NEVPNNotificationHandler>> statusObservers;
  std::vector<std::weak_ptr<NEVPNNotificationHandler>> configurationObservers;
  std::optional<std::vector<StoredProfile>> duringNextLoad;
};

Platform& platform() {
  static Platform* const state = new Platform;
  return *state;
}

// Records the request, with `detail` in the log; answers with its injected failure, if any, or
// with nothing when it must never complete.
std::optional<Answer> request(const std::string& name, const std::string& detail = "") {
  std::lock_guard lock(platform().mutex);
  platform().log.push_back(name + detail);
  auto failure = platform().failures.find(name + detail);
  if (failure == platform().failures.end()) {
    failure = platform().failures.find(name);
  }
  if (failure == platform().failures.end()) {
    return Answer{};
  }
  if (const auto& description = failure->second) {
    return std::unexpected(PlatformError{*description});
  }
  return std::nullopt;
}

template <class Value>
void deliver(std::function<void(Value)> handler, std::optional<Value> value) {
  if (value) {
    runloop::post([handler = std::move(handler), value = std::move(*value)] { handler(value); });
  }
}

// An observer keeps its handler alive; the platform holds it weakly.
class RecordedObserver final : public NEVPNObserver {
 public:
  RecordedObserver(const std::string& name,
                   std::vector<std::weak_ptr<NEVPNNotificationHandler>>& observers,
                   NEVPNNotificationHandler handler)
      : handler_(std::make_shared<NEVPNNotificationHandler>(std::move(handler))) {
    (void)request(name);
    std::lock_guard lock(platform().mutex);
    observers.push_back(handler_);
  }

 private:
  std::shared_ptr<NEVPNNotificationHandler> handler_;
};

void postTo(const std::vector<std::weak_ptr<NEVPNNotificationHandler>>& observers) {
  std::lock_guard lock(platform().mutex);
  for (const auto& observer : observers) {
    runloop::post([observer] {
      if (const auto handler = observer.lock()) {
        (*handler)();
      }
    });
  }
}

class RecordingSession final : public NETunnelProviderSession {
 public:
  RecordingSession(std::string identifier, std::vector<NEVPNStatus> statuses,
                   std::optional<double> connectedDate)
      : identifier_(std::move(identifier)),
        statuses_(std::move(statuses)),
        connectedDate_(connectedDate) {}

  NEVPNStatus status() const override {
    std::lock_guard lock(mutex_);
    return statuses_[std::min(reads_++, statuses_.size() - 1)];
  }
  // An injected failure is a stop that was not taken on.
  bool stopVPNTunnel() override {
    const auto answer = request("stop " + identifier_);
    return !answer || answer->has_value();
  }
  // Starting answers at once: it can fail, but not stay silent.
  Answer startVPNTunnel() override { return request("start " + identifier_).value_or(Answer{}); }
  std::optional<double> connectedDate() const override { return connectedDate_; }
  // An injected failure is the error that ended the last connection.
  void fetchLastDisconnectError(LastDisconnectErrorCompletion completionHandler) override {
    if (const auto answer = request("lastDisconnectError " + identifier_)) {
      using Last = std::optional<PlatformError>;
      deliver(std::move(completionHandler),
              std::optional<Last>(answer->has_value() ? Last() : Last(answer->error())));
    }
  }
  std::unique_ptr<NEVPNObserver> observeStatusDidChange(NEVPNNotificationHandler handler) override {
    return std::make_unique<RecordedObserver>("observe " + identifier_, platform().statusObservers,
                                              std::move(handler));
  }

 private:
  std::string identifier_;
  std::vector<NEVPNStatus> statuses_;
  std::optional<double> connectedDate_;
  mutable std::mutex mutex_;
  mutable std::size_t reads_ = 0;
};

// A connection that is not a tunnel-provider session: it can be stopped, never started.
class PlainConnection final : public NEVPNConnection {
 public:
  explicit PlainConnection(std::shared_ptr<RecordingSession> recorded)
      : recorded_(std::move(recorded)) {}
  NEVPNStatus status() const override { return recorded_->status(); }
  bool stopVPNTunnel() override { return recorded_->stopVPNTunnel(); }
  std::optional<double> connectedDate() const override { return recorded_->connectedDate(); }
  void fetchLastDisconnectError(LastDisconnectErrorCompletion completionHandler) override {
    recorded_->fetchLastDisconnectError(std::move(completionHandler));
  }
  std::unique_ptr<NEVPNObserver> observeStatusDidChange(NEVPNNotificationHandler handler) override {
    return recorded_->observeStatusDidChange(std::move(handler));
  }

 private:
  std::shared_ptr<RecordingSession> recorded_;
};

std::shared_ptr<NEVPNProtocol> protocolOf(Protocol kind) {
  if (kind == Protocol::none || kind == Protocol::otherKind) {
    return kind == Protocol::none ? nullptr : std::make_shared<NEVPNProtocol>();
  }
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  const std::map<Protocol, const char*> providers = {
      {Protocol::tool, "com.kelo.vpn.desktop.PacketTunnel"},
      {Protocol::providerInOtherCase, "com.kelo.vpn.desktop.packetTunnel"},
      {Protocol::otherProvider, "com.example.other"}};
  if (const auto provider = providers.find(kind); provider != providers.end()) {
    protocol->providerBundleIdentifier = provider->second;
  }
  return protocol;
}

NETunnelProviderManager::Pointer makeManager(const StoredProfile& stored) {
  auto session =
      std::make_shared<RecordingSession>(stored.identifier, stored.statuses, stored.connectedDate);
  std::shared_ptr<NEVPNConnection> connection = session;
  if (!stored.session) {
    connection = std::make_shared<PlainConnection>(std::move(session));
  }
  auto manager = std::make_shared<NETunnelProviderManager>(
      stored.identifier, !stored.appRules.empty(), std::move(connection));
  manager->protocolConfiguration = protocolOf(stored.protocol);
  manager->enabled = true;
  manager->appRules = stored.appRules;
  if (stored.onDemand) {
    manager->onDemandRules = std::vector{NEOnDemandRule{}};
    manager->onDemandEnabled = true;
  }
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
  platform().statusObservers.clear();
  platform().configurationObservers.clear();
  platform().duringNextLoad.reset();
}

void fail(const std::string& request, std::optional<std::string> description) {
  std::lock_guard lock(platform().mutex);
  platform().failures[request] = std::move(description);
}

std::string requests() {
  std::lock_guard lock(platform().mutex);
  std::string joined;
  for (const auto& line : platform().log) {
    joined += (joined.empty() ? "" : ", ") + line;
  }
  return joined;
}

void postStatusDidChange() {
  postTo(platform().statusObservers);
}

void postConfigurationChange() {
  postTo(platform().configurationObservers);
}

void changeDuringNextLoad(std::vector<StoredProfile> profiles) {
  std::lock_guard lock(platform().mutex);
  platform().duringNextLoad = std::move(profiles);
}

}  // namespace testing::recording

std::unique_ptr<NEVPNObserver> observeConfigurationChange(NEVPNNotificationHandler handler) {
  return std::make_unique<RecordedObserver>("observe configuration",
                                            platform().configurationObservers, std::move(handler));
}

void NETunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completionHandler) {
  std::optional<std::expected<std::vector<Pointer>, PlatformError>> loaded;
  if (const auto answer = request("loadAll"); answer && !*answer) {
    loaded = std::unexpected(answer->error());
  } else if (answer) {
    std::lock_guard lock(platform().mutex);
    loaded.emplace();
    for (const auto& stored : platform().profiles) {
      (*loaded)->push_back(makeManager(stored));
    }
  }
  bool changed = false;
  {
    std::lock_guard lock(platform().mutex);
    if (auto& during = platform().duringNextLoad) {
      platform().profiles = std::move(*during);
      during.reset();
      changed = true;
    }
  }
  deliver(std::move(completionHandler), std::move(loaded));
  if (changed) {
    testing::recording::postConfigurationChange();
  }
}

NETunnelProviderManager::Pointer NETunnelProviderManager::init() {
  return newProfile(false);
}

NETunnelProviderManager::Pointer NETunnelProviderManager::forPerAppVPN() {
  return newProfile(true);
}

void NETunnelProviderManager::saveToPreferences(CompletionHandler completionHandler) {
  std::string detail = " with " + std::to_string(appRules ? appRules->size() : 0) + " rules";
  if (onDemandRules) {
    detail += ", " + std::to_string(onDemandRules->size()) + " on-demand rules";
  }
  if (onDemandEnabled) {
    detail += ", on demand";
  }
  deliver(std::move(completionHandler), request("save " + identifier_, detail));
}

void NETunnelProviderManager::loadFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("reload " + identifier_));
}

void NETunnelProviderManager::removeFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("remove " + identifier_));
}

}  // namespace kelo
