#!/usr/bin/env bash
# build_utf8proc.sh PREFIX (on a Mac): builds utf8proc as one static library with both slices of
# the universal tool, arm64 and x86_64, for the tool's deployment target, and installs it under
# PREFIX for -DKELO_UTF8PROC_PREFIX=PREFIX.
#
# The source is the one Homebrew's formula names, checked against the SHA-256 the formula pins:
# a reviewed address and checksum that follow utf8proc's releases, where Homebrew's own bottle
# holds one architecture only, built for the machine's macOS. The version and checksum used are
# printed, and recorded in PREFIX/utf8proc-source.txt.
set -euo pipefail
prefix=${1:?usage: build_utf8proc.sh PREFIX}
here=$(cd "$(dirname "$0")/../.." && pwd)
target=$(sed -n 's/^set(CMAKE_OSX_DEPLOYMENT_TARGET "\([0-9.]*\)".*/\1/p' "$here/CMakeLists.txt")

read -r version url checksum < <(brew info --json=v2 utf8proc | python3 -c '
import json, sys
formula = json.load(sys.stdin)["formulae"][0]
stable = formula["urls"]["stable"]
print(formula["versions"]["stable"], stable["url"], stable["checksum"])')
echo "utf8proc $version from $url (SHA-256 $checksum)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
curl --fail --location --silent --show-error --output "$work/source.tar.gz" "$url"
echo "$checksum  $work/source.tar.gz" | shasum -a 256 --check --status ||
  { echo "build_utf8proc: the download does not match the formula's checksum" >&2; exit 1; }
mkdir "$work/source"
tar -xzf "$work/source.tar.gz" -C "$work/source" --strip-components 1

cmake -S "$work/source" -B "$work/build" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DCMAKE_OSX_ARCHITECTURES="arm64;x86_64" -DCMAKE_OSX_DEPLOYMENT_TARGET="$target" \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
cmake --build "$work/build" --config Release
cmake --install "$work/build" >/dev/null
lipo "$prefix/lib/libutf8proc.a" -verify_arch arm64 x86_64
echo "utf8proc $version $url $checksum" >"$prefix/utf8proc-source.txt"
echo "build_utf8proc: $prefix/lib/libutf8proc.a ($(lipo -archs "$prefix/lib/libutf8proc.a"))"
