#!/usr/bin/env bash
# build_dependencies.sh PREFIX (on a Mac): builds the libraries of the shipped tool from the
# releases pinned in packaging/macos/pinned-sources.txt and installs them under PREFIX, for
# -DKELO_UTF8PROC_PREFIX=PREFIX -DCMAKE_PREFIX_PATH=PREFIX:
#   - utf8proc as one static library with both slices of the universal tool, arm64 and x86_64,
#     for the tool's deployment target (a package manager's holds the machine's architecture
#     only, built for the machine's macOS);
#   - nlohmann/json, whose headers are compiled into the tool.
# Both releases declare a CMake minimum below 3.5, which CMake 4 refuses to configure unless a
# policy version is named: each configure names 3.5 (CMake 3 ignores the variable), and
# scripts/check_pinned_configures.py, run by the test suite, fails when one does not.
# Each download is checked against its pinned SHA-256 before anything is built from it, and
# what was built is recorded in PREFIX/pinned-sources.txt, which the build compares with the pins.
set -euo pipefail
prefix=${1:?usage: build_dependencies.sh PREFIX}
here=$(cd "$(dirname "$0")/../.." && pwd)
pins=$here/packaging/macos/pinned-sources.txt
target=$(sed -n 's/^set(CMAKE_OSX_DEPLOYMENT_TARGET "\([0-9.]*\)".*/\1/p' "$here/CMakeLists.txt")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$prefix"
: >"$prefix/pinned-sources.txt"

# fetch NAME: unpacks the pinned release of NAME into $work/NAME and records it.
fetch() {
  local name=$1 version url checksum
  read -r _ version url checksum < <(grep "^$name " "$pins") ||
    { echo "build_dependencies: no pin for $name in $pins" >&2; exit 1; }
  echo "$name $version from $url (SHA-256 $checksum)"
  curl --fail --location --silent --show-error --output "$work/$name.tar.gz" "$url"
  echo "$checksum  $work/$name.tar.gz" | shasum -a 256 --check --status ||
    { echo "build_dependencies: the download of $name does not match its pinned SHA-256" >&2; exit 1; }
  mkdir "$work/$name"
  tar -xzf "$work/$name.tar.gz" -C "$work/$name" --strip-components 1
  echo "$name $version $url $checksum" >>"$prefix/pinned-sources.txt"
}

fetch utf8proc
cmake -S "$work/utf8proc" -B "$work/utf8proc-build" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_OSX_ARCHITECTURES="arm64;x86_64" \
  -DCMAKE_OSX_DEPLOYMENT_TARGET="$target" -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
cmake --build "$work/utf8proc-build" --config Release
cmake --install "$work/utf8proc-build" >/dev/null
lipo "$prefix/lib/libutf8proc.a" -verify_arch arm64 x86_64
echo "build_dependencies: $prefix/lib/libutf8proc.a ($(lipo -archs "$prefix/lib/libutf8proc.a"))"

fetch nlohmann_json
cmake -S "$work/nlohmann_json" -B "$work/nlohmann_json-build" -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -DJSON_BuildTests=OFF \
  -DJSON_Install=ON -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
cmake --build "$work/nlohmann_json-build"
cmake --install "$work/nlohmann_json-build" >/dev/null
echo "build_dependencies: nlohmann/json's headers under $prefix/include"
