#!/usr/bin/env bash
# Runs clang-tidy 19 with the checks of .clang-tidy over every C++ source: the tool, its tests,
# benchmarks and fuzz targets (the headers with them), as clang 19 compiles them. Any finding
# fails it. The Objective-C++ sources are checked by scripts/check_apple.sh, which knows how to
# compile them here.
set -euo pipefail
cd "$(dirname "$0")/.."

# Configured only, for the compile commands: nothing is built.
cmake -S . -B build-tidy -DCMAKE_CXX_COMPILER=clang++-19 -DKELO_BUILD_TESTS=ON \
  -DKELO_BUILD_BENCHMARKS=ON -DKELO_BUILD_FUZZERS=ON -DKELO_SANITIZER=fuzzer >/dev/null
mapfile -t sources < <(git ls-files --cached --others --exclude-standard \
  'src/*.cc' 'tests/*.cc' 'bench/*.cc' 'fuzz/*.cc' | grep -v '_darwin\.cc$')
log=build-tidy/findings.txt
if ! run-clang-tidy-19 -p build-tidy -j "$(nproc)" -quiet "${sources[@]/#/$PWD/}" >"$log" 2>&1; then
  grep -a -E 'warning:|error:' -A3 "$log" | grep -v '^--$' | head -n 200 >&2
  echo "tidy: findings in the sources above (all of them in $log)" >&2
  exit 1
fi
echo "tidy: no finding in ${#sources[@]} C++ sources"
