// Stand-in for Darwin's <AvailabilityMacros.h> on Linux (see scripts/macos/README.md), which
// GoogleTest includes on Apple targets: the release the build targets, 11.0.
#pragma once

#define MAC_OS_X_VERSION_MIN_REQUIRED 110000
