#!/usr/bin/env bash
# A TSL 5.0 parser of its own, the npm library tsl-umd-v5, reads the packets of src/tsl sent to
# its UDP and TCP listeners on loopback, bare and framed by DLE/STX. A small printer of the
# encoder's packets (tests/tsl5_interop_packets.cpp) is compiled here from the sources. Skipped
# (exit 77) where node, npm or a C++ compiler is missing.
set -euo pipefail

TSL_UMD_V5_VERSION=1.0.7

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "skipped: node and npm are needed for the tsl-umd-v5 interop test"
  exit 77
fi
SRC="${QUORVEL_SOURCE_DIR:?}"
CACHE="${QUORVEL_BINARY_DIR:?}/CMakeCache.txt"
CXX=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$CACHE" 2>/dev/null || true)
CXX=${CXX:-c++}
if ! command -v "$CXX" >/dev/null 2>&1; then
  echo "skipped: no C++ compiler to build the packet printer"
  exit 77
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$CXX" -std=c++17 -O1 -Wall -Wextra -Wpedantic -I "$SRC/src" -o "$WORK/tsl5_packets" \
  "$SRC/tests/tsl5_interop_packets.cpp" "$SRC/src/tsl/tsl.cpp"

# One scratch install per version, kept between runs; the lock keeps parallel runs apart.
SCRATCH="/tmp/quorvel-tsl-umd-v5-$TSL_UMD_V5_VERSION"
mkdir -p "$SCRATCH"
exec 9>"$SCRATCH.lock"
flock -w 240 9
if ! (cd "$SCRATCH" && node -e "require('tsl-umd-v5')" >/dev/null 2>&1); then
  rm -rf "$SCRATCH/node_modules" "$SCRATCH/package-lock.json"
  echo "installing tsl-umd-v5@$TSL_UMD_V5_VERSION into $SCRATCH"
  echo '{"private": true}' >"$SCRATCH/package.json"
  (cd "$SCRATCH" && timeout 200 npm install --no-audit --no-fund --ignore-scripts \
    --loglevel=error "tsl-umd-v5@$TSL_UMD_V5_VERSION")
fi
flock -u 9

TSL5_MODULE_DIR="$SCRATCH" timeout 60 node "$SRC/tests/tsl5_interop.js" "$WORK/tsl5_packets"
