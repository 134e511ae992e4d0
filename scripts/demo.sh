#!/usr/bin/env bash
# Builds kelo-ne-manager and walks it through its whole cycle against the simulated platform,
# in a fresh home folder of its own: status, a full-tunnel connect and a wait until it is up,
# disconnect, an on-demand connect and a disconnect that stays disconnected, and then, where
# mount namespaces are available (as root), a per-app connect and update-app-rules with fake
# applications and a fake /usr/bin/codesign laid over the real root for those runs only; last,
# "remove", after which "status" shows no profile.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/dependencies.sh build
cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target kelo-ne-manager >/dev/null
tool=$PWD/build/kelo-ne-manager

export HOME=${DEMO_HOME:-$(mktemp -d)}
echo "simulated VPN preferences: $HOME/.local/state/kelo-ne-manager/vpn-preferences.json"

fake=""
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# run COMMAND [REQUEST FILE]: shows the command, its one document and its exit status.
run() {
  local command=$1 request=${2:-} status=0 prefix=()
  if [ -n "$fake" ]; then
    prefix=(unshare -m --propagation private sh tests/blackbox/with_fake_root.sh "$fake"
      "$(mktemp -d -p "$scratch")" "$HOME" --)
  fi
  echo
  echo "\$ kelo-ne-manager $command${request:+ < $request}"
  if [ -n "$request" ]; then
    "${prefix[@]}" "$tool" "$command" <"$request" 2>&1 || status=$?
  else
    "${prefix[@]}" "$tool" "$command" </dev/null 2>&1 || status=$?
  fi
  echo
  echo "(exit status $status)"
}

run status
run connect examples/full-tunnel.json
run wait  # the simulated extension takes half a second to come up: answered once it has
run disconnect
run update-app-rules examples/update-app-rules.json

echo
echo "--- on demand, with the simulated machine on the Wi-Fi network \"Cafe\""
python3 - "$HOME/.local/state/kelo-ne-manager/vpn-preferences.json" <<'NETWORK'
import json, sys
document = json.load(open(sys.argv[1]))
document["network"] = {"interfaceType": "wifi", "ssid": "Cafe"}
json.dump(document, open(sys.argv[1], "w"))
NETWORK
run connect examples/on-demand.json
run disconnect
run wait  # once it is down; without the switch-off, on-demand would have it up again

# The end of every demo: the configuration taken off the machine, as an uninstaller would.
finish() {
  fake=""
  echo
  echo "--- remove, as sign-out or an uninstaller would"
  run remove
  run status
}

if [ "$(id -u)" -ne 0 ] || ! unshare -m --propagation private true 2>/dev/null; then
  echo
  echo "(per-app part skipped: it needs root to lay fake applications over /)"
  finish
  exit 0
fi
fake=$scratch/fake
for app in Applications/Mail.app/Contents/MacOS/Mail Applications/Browser.app/Contents/MacOS/Browser \
  System/Applications/Calendar.app/Contents/MacOS/Calendar; do
  mkdir -p "$fake/$(dirname "$app")" && touch "$fake/$app"
done
mkdir -p "$fake/usr/bin"
cat >"$fake/usr/bin/codesign" <<'SCRIPT'
#!/bin/sh
name=$(basename "$4")
echo "Executable=$4" >&2
echo "Identifier=com.example.$name" >&2
echo "designated => identifier \"com.example.$name\" and anchor apple generic"
SCRIPT
chmod +x "$fake/usr/bin/codesign"
echo
echo "--- per-app, with /Applications/{Mail,Browser}.app, /System/Applications/Calendar.app and a fake codesign"
run connect examples/per-app.json
run update-app-rules examples/update-app-rules.json
run status
echo
echo "stored rules:"
grep -A1 '"signingIdentifier"' "$HOME/.local/state/kelo-ne-manager/vpn-preferences.json"
finish
