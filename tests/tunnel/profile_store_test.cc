// The profile store against the simulated platform: which of the stored profiles are the tool's.
#include "tunnel/profile_store.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace kelo::tunnel {
namespace {

using testing::Json;
using testing::toolProfile;

using ProfileStore = testing::SimulatedHome;

std::vector<std::string> identifiers(const std::vector<ManagerPointer>& managers) {
  std::vector<std::string> ids;
  for (const auto& manager : managers) {
    ids.push_back(manager->identifier());
  }
  return ids;
}

TEST_F(ProfileStore, LoadsOnlyToolProfilesInPlatformOrder) {
  Json otherProvider = toolProfile("OTHER", 1);
  otherProvider["protocol"]["providerBundleIdentifier"] = "com.example.vpn";
  Json caseDiffers = toolProfile("CASE", 1);
  caseDiffers["protocol"]["providerBundleIdentifier"] = "com.kelo.vpn.desktop.packetTunnel";
  Json ikev2 = toolProfile("IKE", 1);
  ikev2["protocol"] = {{"type", "ikev2"}, {"providerBundleIdentifier", kProviderBundleIdentifier}};
  Json noProtocol = toolProfile("BARE", 1);
  noProtocol.erase("protocol");
  Json noIdentifier = toolProfile("ANON", 1);
  noIdentifier["protocol"].erase("providerBundleIdentifier");
  seed({toolProfile("B", 3), otherProvider, caseDiffers, ikev2, noProtocol, noIdentifier,
        toolProfile("A", 1)});

  const auto loaded = testing::waitFor<std::vector<ManagerPointer>>(&loadAllManagers);
  ASSERT_TRUE(loaded.has_value());
  EXPECT_EQ(identifiers(*loaded), (std::vector<std::string>{"B", "A"}));
  EXPECT_EQ(testing::profileIdentifiers(stored()).size(), 7u);
}

}  // namespace
}  // namespace kelo::tunnel
