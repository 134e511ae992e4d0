#!/usr/bin/env bash
# Builds kelo-ne-manager and walks it through its main job against the simulated platform, in
# a fresh home folder of its own: connect a full tunnel, read the status, disconnect.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build >/dev/null
cmake --build build -j "$(nproc)" --target kelo-ne-manager >/dev/null
tool=build/kelo-ne-manager

export HOME=${DEMO_HOME:-$(mktemp -d)}
echo "simulated VPN preferences: $HOME/.local/state/kelo-ne-manager/vpn-preferences.json"

run() {
  local command=$1 request=${2:-}
  echo
  echo "\$ kelo-ne-manager $command${request:+ <<< '$request'}"
  local status=0
  if [ -n "$request" ]; then
    printf "%s" "$request" | "$tool" "$command" 2>&1 || status=$?
  else
    "$tool" "$command" </dev/null 2>&1 || status=$?
  fi
  echo
  echo "(exit status $status)"
}

run status
run connect '{"privateKey":"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=","address":"10.8.0.2/32","dns":"1.1.1.1","peerPublicKey":"xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=","peerEndpoint":"203.0.113.5:51820","allowedIps":"0.0.0.0/0, ::/0","excludedApps":[]}'
sleep 0.6  # the simulated extension takes half a second to come up
run status
run disconnect
run update-app-rules '{"excludedApps":[]}'
