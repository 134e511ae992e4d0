#!/usr/bin/env bash
# Installs the Debian packages that building and testing kelo-ne-manager need, only those
# that are missing (apt-get, as root). With "build", only what building the tool needs (the
# demo's first command): a compiler, CMake, the two libraries, and python3 for the demo itself.
set -euo pipefail

build=(cmake g++ make pkgconf python3 nlohmann-json3-dev libutf8proc-dev)
packages=(
  "${build[@]}" git clang-format
  # python3 also runs the include-graph check
  python3-jsonschema  # checking what the tool writes against its JSON Schemas (draft 2020-12)
  man-db groff-base   # rendering the man page in its test
  clang-19            # the second compiler of the test suite, and the fuzzers' compiler
  clang-tidy-19       # static analysis of every source (scripts/tidy.sh)
  libbenchmark-dev    # the benchmarks, which static analysis reads too
  libclang-rt-19-dev  # libFuzzer and the sanitizer runtimes for clang 19
  libc++-19-dev libc++abi-19-dev  # LLVM's C++ library, for checking the macOS build's availability
  libc6-dev-arm64-cross           # aarch64 C headers, standing in for Darwin's in the arm64 check
  libgtest-dev googletest
  util-linux mount    # unshare, setpriv, prlimit and overlay mounts for the black-box tests
  nodejs              # running the Node client package of clients/node in its tests
)
# nlohmann-json3-dev: JSON reading and writing; libutf8proc-dev: Unicode composition (NFC) and
# white-space categories.
[ "${1:-}" = build ] && packages=("${build[@]}")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
