#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 19 (AddressSanitizer and UBSan) and runs each for
# SECONDS (default 60) from the seed corpora in fuzz/corpus. New inputs go to a scratch folder,
# never into the repository. Exits non-zero on the first finding; the input that found it is
# left in build-fuzz/findings/ (keep it in the target's seed corpus once fixed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/dependencies.sh
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++-19 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELO_SANITIZER=fuzzer -DKELO_BUILD_FUZZERS=ON -DKELO_BUILD_TESTS=OFF \
  -DKELO_WARNINGS_AS_ERRORS=ON >/dev/null
targets=(requests endpoint_host signature_report property_list preferences commands)
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
  mkdir -p "$scratch/$target"
  echo "=== fuzzing ${target} for ${seconds} s ==="
  # -max_len keeps inputs small enough for many runs a second; size limits have unit tests.
  build-fuzz/fuzz/${target}_fuzzer "$scratch/$target" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/findings/${target}-" 2>"$scratch/$target.log" || {
    tail -n 40 "$scratch/$target.log"
    echo "fuzz: ${target} found a fault; its input is in build-fuzz/findings/" >&2
    exit 1
  }
  # The closing line reads "#RUNS DONE cov: EDGES ft: FEATURES corp: ... exec/s: RATE ...".
  grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$target.log" | tail -n 1
done
echo "fuzz: no finding in ${#targets[@]} targets, ${seconds} s each"
