#!/usr/bin/env bash
# Type-checks every Objective-C++ file of the Apple platform layer with clang 19, against the
# declarations subset of Apple's SDK in scripts/macos/sdk: selectors, argument types,
# nullability and ARC rules. It does not link or run the layer; that needs a Mac.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t layer < <(find src/platform/apple -name '*.mm' | sort)
for file in "${layer[@]}"; do
  clang++-19 -fsyntax-only -x objective-c++ -std=c++23 -fobjc-arc -fblocks \
    -fobjc-runtime=macosx-10.15 -Iscripts/macos/sdk -Isrc -Wall -Wextra -Werror "$file"
done
echo "check_apple: ${#layer[@]} Objective-C++ files type-check against scripts/macos/sdk"
