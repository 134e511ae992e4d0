#!/usr/bin/env bash
# Checks formatting, the include graph, the macOS build and clang-tidy's findings, then builds
# kelo-ne-manager four times, with warnings as errors (a GCC Release build,
# AddressSanitizer with UndefinedBehaviorSanitizer, ThreadSanitizer, and a clang 19 Release
# build) and runs every test in each build; then the tests of the client packages in clients/
# against the first build. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/dependencies.sh
jobs=$(nproc)

# Formatting is part of the contract of the code base.
mapfile -t sources < <(git ls-files '*.cc' '*.h' '*.mm' 2>/dev/null || find src tests bench -name '*.cc' -o -name '*.h' -o -name '*.mm')
clang-format --dry-run --Werror "${sources[@]}"
# So is the direction of its includes: no circle between folders or files.
scripts/check_layout.py
# The macOS build is not linked here, but every source of it compiles for the macOS it targets
# (and its Objective-C++ passes clang-tidy's checks).
scripts/check_apple.sh
# Static analysis of every C++ source: no finding.
scripts/tidy.sh

# run_suite FOLDER NAME [CMAKE ARGUMENT...]
run_suite() {
  local folder=$1 name=$2
  shift 2
  echo "=== tests: ${name} build (${folder}) ==="
  cmake -S . -B "$folder" -DKELO_BUILD_TESTS=ON -DKELO_WARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$folder" -j "$jobs"
  ctest --test-dir "$folder" -j "$jobs" --output-on-failure
}

# The plain build is a Release build, so that GCC's optimiser has its say too.
run_suite build "plain (GCC Release)" -DKELO_SANITIZER= -DCMAKE_BUILD_TYPE=Release
run_suite build-asan address -DKELO_SANITIZER=address
run_suite build-tsan thread -DKELO_SANITIZER=thread
# A second compiler at full optimisation finds what the first one lets pass.
run_suite build-clang "clang 19 Release" -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=Release

# The client packages, against the plain build's tool. Node comes with the dependencies; Swift
# is on the PATH or at /opt/swift where the machine has it. CI (CI=true) needs both.
tool="$PWD/build/kelo-ne-manager"
echo "=== tests: the Node client (clients/node) ==="
KELO_TOOL="$tool" node --test clients/node/test/client.test.mjs
swift=$(command -v swift || true)
if [ -z "$swift" ] && [ -x /opt/swift/usr/bin/swift ]; then
  swift=/opt/swift/usr/bin/swift
fi
if [ -n "$swift" ]; then
  echo "=== tests: the Swift client (clients/swift) ==="
  KELO_TOOL="$tool" "$swift" test --package-path clients/swift --scratch-path build/swift-client
elif [ "${CI:-}" = true ]; then
  echo "test: no Swift toolchain (none on the PATH, none at /opt/swift): CI tests clients/swift" >&2
  exit 1
else
  echo "=== SKIPPED: the Swift client's tests (clients/swift): no Swift toolchain on the PATH or at /opt/swift ==="
fi
