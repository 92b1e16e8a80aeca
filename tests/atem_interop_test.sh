#!/usr/bin/env bash
# A third-party switcher client, the npm library atem-connection, against quorvel-switcher-sim:
# it must report connected with the buses the simulator set, see a cut, keep its session while
# idle and follow changes over a lossy link. Skipped (exit 77) where node or npm is missing.
set -euo pipefail
source "${QUORVEL_SOURCE_DIR:?}/tests/npm_scratch.sh"

SIM="${QUORVEL_BINARY_DIR:?}/quorvel-switcher-sim"
[ -x "$SIM" ] || { echo "FAIL: $SIM has not been built"; exit 1; }
npm_scratch atem-connection 3.10.2
ATEM_MODULE_DIR="$SCRATCH" timeout 60 node "$QUORVEL_SOURCE_DIR/tests/atem_interop.js" "$SIM" \
  127.0.1.250
