#!/usr/bin/env bash
# A TSL 5.0 parser of its own, the npm library tsl-umd-v5, reads the packets of src/tsl sent to its
# UDP listener on loopback, bare and framed by DLE/STX. A small printer of the encoder's packets
# (tests/tsl5_interop_packets.cpp) is compiled here from the sources. Skipped (exit 77) where
# node, npm or a C++ compiler is missing.
set -euo pipefail
SRC="${QUORVEL_SOURCE_DIR:?}"
source "$SRC/tests/npm_scratch.sh"

CXX=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "${QUORVEL_BINARY_DIR:?}/CMakeCache.txt" \
  2>/dev/null || true)
CXX=${CXX:-c++}
if ! command -v "$CXX" >/dev/null 2>&1; then
  echo "skipped: no C++ compiler to build the packet printer"
  exit 77
fi
npm_scratch tsl-umd-v5 1.0.7

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
"$CXX" -std=c++17 -O1 -Wall -Wextra -Wpedantic -I "$SRC/src" -o "$WORK/tsl5_packets" \
  "$SRC/tests/tsl5_interop_packets.cpp" "$SRC/src/tsl/tsl.cpp" "$SRC/src/base/bytes.cpp"
TSL5_MODULE_DIR="$SCRATCH" timeout 60 node "$SRC/tests/tsl5_interop.js" "$WORK/tsl5_packets"
