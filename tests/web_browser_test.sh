#!/usr/bin/env bash
# The live status pages in headless Chromium (Debian's /usr/bin/chromium, driven by the npm
# library playwright-core, which downloads no browser of its own): tests/web_browser.js. Skipped
# (exit 77) where chromium, node or npm is missing. With SCREENSHOTS_DIR set it also writes the
# PNGs of docs/screenshots/ there.
set -euo pipefail
SRC="${QUORVEL_SOURCE_DIR:?}"
BIN="${QUORVEL_BINARY_DIR:?}"
[ -x /usr/bin/chromium ] || { echo "skipped: /usr/bin/chromium is not installed"; exit 77; }
for p in quorvel quorvel-switcher-sim quorvel-camera-sim; do
  [ -x "$BIN/$p" ] || { echo "FAIL: $BIN/$p has not been built"; exit 1; }
done
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 PLAYWRIGHT_BROWSERS_PATH=/nonexistent
source "$SRC/tests/npm_scratch.sh"
npm_scratch playwright-core 1.65.1
# Fixed loopback addresses (127.0.4.44-46): two runs at once, from two build folders, take turns.
exec 8>/tmp/quorvel-web-browser.lock
flock -w 120 8
PLAYWRIGHT_MODULE_DIR="$SCRATCH" timeout -k 5 90 node "$SRC/tests/web_browser.js" "$BIN"
