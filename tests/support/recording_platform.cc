#include "support/recording_platform.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "platform/delayed_work.h"
#include "platform/run_loop.h"

namespace kelo {

namespace {

using testing::recording::StoredProfile;

struct Platform {
  std::mutex mutex;
  std::vector<StoredProfile> profiles;
  std::map<std::string, std::string> failures;
  std::vector<std::string> log;
  std::vector<std::size_t> savedRuleCounts;
};

Platform& platform() {
  static Platform* const state = new Platform;
  return *state;
}

void record(const std::string& line) {
  std::lock_guard lock(platform().mutex);
  platform().log.push_back(line);
}

// Records the request and answers with its injected failure, if any.
std::expected<void, PlatformError> request(const std::string& operation,
                                           const std::string& identifier = "") {
  const std::string line = identifier.empty() ? operation : operation + " " + identifier;
  std::lock_guard lock(platform().mutex);
  platform().log.push_back(line);
  for (const auto& key : {line, operation}) {
    if (const auto failure = platform().failures.find(key); failure != platform().failures.end()) {
      return std::unexpected(PlatformError{"Recording", failure->second});
    }
  }
  return {};
}

template <class Handler, class Value>
void deliver(Handler handler, Value value) {
  runloop::post([handler = std::move(handler), value = std::move(value)]() mutable {
    handler(std::move(value));
  });
}

class RecordingSession final : public NETunnelProviderSession {
 public:
  RecordingSession(std::string identifier, std::vector<NEVPNStatus> statuses)
      : identifier_(std::move(identifier)), statuses_(std::move(statuses)) {}

  NEVPNStatus status() const override {
    std::lock_guard lock(mutex_);
    return statuses_[std::min(reads_++, statuses_.size() - 1)];
  }
  void stopVPNTunnel() override { record("stop " + identifier_); }
  std::expected<void, PlatformError> startVPNTunnel() override {
    return request("start", identifier_);
  }

 private:
  std::string identifier_;
  std::vector<NEVPNStatus> statuses_;
  mutable std::mutex mutex_;
  mutable std::size_t reads_ = 0;
};

NETunnelProviderManager::Pointer makeManager(const StoredProfile& stored) {
  auto manager = std::make_shared<NETunnelProviderManager>(
      stored.identifier, !stored.appRules.empty(),
      std::make_shared<RecordingSession>(stored.identifier, stored.statuses));
  auto protocol = std::make_shared<NETunnelProviderProtocol>();
  protocol->providerBundleIdentifier =
      stored.toolProfile ? "com.kelo.vpn.desktop.PacketTunnel" : "com.example.other";
  manager->protocolConfiguration = std::move(protocol);
  manager->enabled = true;
  manager->appRules = stored.appRules;
  return manager;
}

NETunnelProviderManager::Pointer newProfile(bool perAppVPN) {
  record(perAppVPN ? "new per-app profile" : "new profile");
  return makeManager({.identifier = "NEW", .statuses = {NEVPNStatusDisconnected}});
}

}  // namespace

namespace testing::recording {

void reset(std::vector<StoredProfile> profiles) {
  std::lock_guard lock(platform().mutex);
  platform().profiles = std::move(profiles);
  platform().failures.clear();
  platform().log.clear();
  platform().savedRuleCounts.clear();
}

void fail(const std::string& operation, const std::string& description) {
  std::lock_guard lock(platform().mutex);
  platform().failures[operation] = description;
}

std::vector<std::string> log() {
  std::lock_guard lock(platform().mutex);
  return platform().log;
}

std::vector<std::size_t> savedRuleCounts() {
  std::lock_guard lock(platform().mutex);
  return platform().savedRuleCounts;
}

}  // namespace testing::recording

void NETunnelProviderManager::loadAllFromPreferences(LoadAllCompletion completionHandler) {
  using Loaded = std::expected<std::vector<Pointer>, PlatformError>;
  if (auto failed = request("loadAll"); !failed) {
    deliver(std::move(completionHandler), Loaded(std::unexpected(failed.error())));
    return;
  }
  std::vector<Pointer> managers;
  {
    std::lock_guard lock(platform().mutex);
    for (const auto& stored : platform().profiles) {
      managers.push_back(makeManager(stored));
    }
  }
  deliver(std::move(completionHandler), Loaded(std::move(managers)));
}

NETunnelProviderManager::Pointer NETunnelProviderManager::init() {
  return newProfile(false);
}

NETunnelProviderManager::Pointer NETunnelProviderManager::forPerAppVPN() {
  return newProfile(true);
}

void NETunnelProviderManager::saveToPreferences(CompletionHandler completionHandler) {
  auto saved = request("save", identifier_);
  if (saved) {
    std::lock_guard lock(platform().mutex);
    platform().savedRuleCounts.push_back(appRules ? appRules->size() : 0);
  }
  deliver(std::move(completionHandler), std::move(saved));
}

void NETunnelProviderManager::loadFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("reload", identifier_));
}

void NETunnelProviderManager::removeFromPreferences(CompletionHandler completionHandler) {
  deliver(std::move(completionHandler), request("remove", identifier_));
}

void runAfter(std::chrono::duration<double> delay, std::function<void()> work) {
  char line[32];
  std::snprintf(line, sizeof line, "after %.1f s", delay.count());
  record(line);
  runloop::post(std::move(work));
}

}  // namespace kelo
