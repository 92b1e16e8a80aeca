#!/usr/bin/env bash
# A third-party switcher client, the npm library atem-connection, against quorvel-switcher-sim:
# it must report connected with the buses the simulator set, see a cut, keep its session while
# idle and follow changes over a lossy link. Skipped (exit 77) where node or npm is missing.
set -euo pipefail

ATEM_CONNECTION_VERSION=3.10.2
ADDRESS=127.0.1.250

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "skipped: node and npm are needed for the atem-connection interop test"
  exit 77
fi

SIM="${QUORVEL_BINARY_DIR:?}/quorvel-switcher-sim"
SCRIPT="${QUORVEL_SOURCE_DIR:?}/tests/atem_interop.js"
[ -x "$SIM" ] || { echo "FAIL: $SIM has not been built"; exit 1; }

# One scratch install per version, kept between runs; the lock keeps parallel runs apart.
SCRATCH="/tmp/quorvel-atem-connection-$ATEM_CONNECTION_VERSION"
mkdir -p "$SCRATCH"
exec 9>"$SCRATCH.lock"
flock -w 240 9
if ! (cd "$SCRATCH" && node -e "require('atem-connection')" >/dev/null 2>&1); then
  rm -rf "$SCRATCH/node_modules" "$SCRATCH/package-lock.json"
  echo "installing atem-connection@$ATEM_CONNECTION_VERSION into $SCRATCH"
  echo '{"private": true}' >"$SCRATCH/package.json"
  # --ignore-scripts: the optional native font module is not needed for a client session.
  (cd "$SCRATCH" && timeout 200 npm install --no-audit --no-fund --ignore-scripts \
    --loglevel=error "atem-connection@$ATEM_CONNECTION_VERSION")
fi
flock -u 9

ATEM_MODULE_DIR="$SCRATCH" timeout 60 node "$SCRIPT" "$SIM" "$ADDRESS"
