#!/usr/bin/env bash
# Builds kelo-ne-manager three times (plain, AddressSanitizer with UndefinedBehaviorSanitizer,
# ThreadSanitizer) and runs every test in each build. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/dependencies.sh
jobs=$(nproc)

# Formatting is part of the contract of the code base.
mapfile -t sources < <(git ls-files '*.cc' '*.h' 2>/dev/null || find src tests bench -name '*.cc' -o -name '*.h')
clang-format --dry-run --Werror "${sources[@]}"
# So is the direction of its includes: no circle between folders or files.
scripts/check_layout.py

run_suite() {
  local folder=$1 sanitizer=$2
  echo "=== tests: ${sanitizer:-plain} build (${folder}) ==="
  cmake -S . -B "$folder" -DKELO_SANITIZER="$sanitizer" -DKELO_BUILD_TESTS=ON >/dev/null
  cmake --build "$folder" -j "$jobs"
  ctest --test-dir "$folder" -j "$jobs" --output-on-failure
}

run_suite build ""
run_suite build-asan address
run_suite build-tsan thread
