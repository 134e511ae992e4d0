#!/usr/bin/env bash
# Checks here, without a Mac, that every source the macOS build compiles compiles for the macOS
# the build targets (CMAKE_OSX_DEPLOYMENT_TARGET), for both slices of the universal binary, with
# clang 19:
#   - C++ against LLVM's libc++ with Apple's availability annotations switched on, so that a
#     facility newer than the target (std::to_chars of a double, say: macOS 13.3) is an error,
#     as it is on a Mac; glibc's headers stand in for Darwin's C library, with the few
#     declarations it lacks in scripts/macos/libc;
#   - Objective-C++ likewise, against the declarations subset of Apple's SDK in
#     scripts/macos/sdk: selectors, argument types, nullability, ARC rules and the framework's
#     own availability.
# It proves first that the check is live: a probe that uses a facility newer than the target
# must fail. Nothing is linked or run; that needs a Mac (.github/workflows/macos.yml).
set -euo pipefail
cd "$(dirname "$0")/.."

target=$(sed -n 's/^set(CMAKE_OSX_DEPLOYMENT_TARGET "\([0-9.]*\)".*/\1/p' CMakeLists.txt)
[ -n "$target" ] || { echo "check_apple: no CMAKE_OSX_DEPLOYMENT_TARGET in CMakeLists.txt" >&2; exit 1; }
libcxx=/usr/lib/llvm-19/include/c++/v1

# libc++'s own configuration, with the vendor's availability annotations switched back on.
standins=$(mktemp -d)
trap 'rm -rf "$standins"' EXIT
grep -v '_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS' "$libcxx/__config_site" >"$standins/__config_site"

# check_triple TRIPLE C_HEADERS PROBE MESSAGE: compiles every source for TRIPLE, glibc's headers
# for that architecture (C_HEADERS) standing in for Darwin's C library, after proving with
# PROBE, which must fail with MESSAGE, that the availability annotations are live.
check_triple() {
  local triple=$1 headers=$2 probe=$3 message=$4
  local cxx=(clang++-19 -target "$triple" -std=c++23 -fsyntax-only -Wall -Wextra -Werror
    -nostdinc++ -isystem "$standins" -isystem scripts/macos/libc -isystem "$libcxx"
    -isystem "$headers" -D_GNU_SOURCE
    # On an Apple target clang reads __nonnull as a nullability keyword; glibc uses it as a macro.
    '-D__nonnull(p)=' -Wno-macro-redefined
    -Isrc -Itests -DKELO_TOOL_PATH='""' -DKELO_FAKE_ROOT_SCRIPT='""' -DKELO_JSON_CORPUS='""'
    -DKELO_DOCUMENT_LOG='""' -DKELO_LIST_DESCRIPTORS='""' -DKELO_FUZZ_CORPUS='""' -DKELO_ONE_LINE_PATH='""'
    -DKELO_PEAK_MEMORY_PATH='""' -DKELO_BENCH_PATH='""' -DKELO_HOSTILE_STREAMS='""' -DKELO_READ_PROPERTY_LIST='""'
    -DKELO_SANITIZER='""' -DKELO_HOME_CODESIGN_TOOL_PATH='""' -DKELO_VERSION='"0.0.0"')
  local objcxx=("${cxx[@]}" -x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=macosx-10.15
    -Iscripts/macos/sdk)
  echo "$probe" >"$standins/probe.cc"
  if "${cxx[@]}" "$standins/probe.cc" 2>"$standins/probe.log" ||
    ! grep -q "$message" "$standins/probe.log"; then
    echo "check_apple: the probe compiled for $triple; the check is not live" >&2
    cat "$standins/probe.log" >&2
    exit 1
  fi
  printf '%s\n' "${sources[@]}" | xargs -P "$(nproc)" -I{} "${cxx[@]}" {}
  printf '%s\n' "${layer[@]}" | xargs -P "$(nproc)" -I{} "${objcxx[@]}" {}
  echo "check_apple: ${#sources[@]} C++ and ${#layer[@]} Objective-C++ files compile for $triple"
  if [ "$tidy" = yes ]; then
    # The checks of .clang-tidy over the Objective-C++ layer, compiled as above.
    for file in "${layer[@]}"; do
      clang-tidy-19 --quiet "$file" -- "${objcxx[@]:1}" 2>/dev/null ||
        { echo "check_apple: clang-tidy findings in $file" >&2; exit 1; }
    done
    echo "check_apple: no clang-tidy finding in ${#layer[@]} Objective-C++ files"
  fi
}

# What the macOS build compiles: the tool with either backend, its tests and benchmarks; the
# Linux-only files excepted.
files() { git ls-files --cached --others --exclude-standard "$@"; }
mapfile -t sources < <(files 'src/*.cc' 'tests/*.cc' 'bench/*.cc' | grep -v '_linux\.cc$')
mapfile -t layer < <(files 'src/*.mm' 'tests/*.mm')

# The universal binary's two slices, both from the deployment target. The probe is a facility
# newer than it.
probe='#include <charconv>
int main() { char text[32]; (void)std::to_chars(text, text + 32, 1.5); }'
tidy=yes
check_triple "x86_64-apple-macos$target" /usr/include/x86_64-linux-gnu "$probe" \
  "'to_chars' is unavailable: introduced in macOS 13"
tidy=no
check_triple "arm64-apple-macos$target" /usr/aarch64-linux-gnu/include "$probe" \
  "'to_chars' is unavailable: introduced in macOS 13"
