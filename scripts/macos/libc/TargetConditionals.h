// Stand-in for Darwin's <TargetConditionals.h> on Linux (see scripts/macos/README.md), which
// GoogleTest includes on Apple targets: a Mac.
#pragma once

#define TARGET_OS_MAC 1
#define TARGET_OS_OSX 1
#define TARGET_OS_IPHONE 0
#define TARGET_OS_IOS 0
#define TARGET_OS_TV 0
#define TARGET_OS_WATCH 0
#define TARGET_OS_SIMULATOR 0
#define TARGET_OS_EMBEDDED 0
