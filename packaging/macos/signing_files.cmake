# Writes the bundle's Info.plist and the entitlements it is signed with into KELO_PACKAGING_DIR:
# the Network Extension entitlement of the distribution kind (KELO_DISTRIBUTION: "development",
# for development signing, or "developer-id", where the packet tunnel is a system extension and
# the application ships outside the Mac App Store), and the application and team identifiers
# that signing with a provisioning profile needs (KELO_TEAM_IDENTIFIER, KELO_BUNDLE_IDENTIFIER).
# No App Sandbox entitlement: a Developer ID build needs none (only the Mac App Store, which this
# tool does not target, requires it), and the tool must not run sandboxed, since a sandboxed
# caller's helper inherits the sandbox. Included by the build, and run
# on its own with cmake -P by the packaging test. The entitlements are what distribution signing
# accepts: plain XML with LF line endings, no comment and no byte-order mark.
if(KELO_DISTRIBUTION STREQUAL "development")
  set(KELO_NETWORK_EXTENSION_ENTITLEMENT packet-tunnel-provider)
elseif(KELO_DISTRIBUTION STREQUAL "developer-id")
  set(KELO_NETWORK_EXTENSION_ENTITLEMENT packet-tunnel-provider-systemextension)
else()
  message(FATAL_ERROR "KELO_DISTRIBUTION must be development or developer-id")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/Info.plist.in ${KELO_PACKAGING_DIR}/Info.plist @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kelo-ne-manager.entitlements.in
               ${KELO_PACKAGING_DIR}/kelo-ne-manager.entitlements @ONLY)
