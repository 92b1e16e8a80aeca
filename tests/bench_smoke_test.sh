#!/usr/bin/env bash
# A short run of the benchmark (bench/run) against the built quorvel and the floor relay, so the
# benchmark keeps working: a few cuts, a one-second idle window and a brief flood, then checks
# that the table and the samples are written and that the numbers make sense. No Node peer, no
# npm; its own loopback addresses and its own folder under /tmp. No speed goal is checked.
set -euo pipefail

SRC="${QUORVEL_SOURCE_DIR:?}"
BIN="${QUORVEL_BINARY_DIR:?}"
CUTS=6

[ -x "$BIN/quorvel" ] || { echo "FAIL: $BIN/quorvel has not been built"; exit 1; }
work="$(mktemp -d /tmp/quorvel-bench-smoke.XXXXXX)"
trap 'rm -rf "$work"' EXIT

tools=()
[ -x "$BIN/bench/quorvel-bench" ] && tools=(--tools "$BIN/bench")

if ! timeout 240 bash "$SRC/bench/run" --no-deps --no-peer --quorvel "$BIN/quorvel" \
    --build "$work/build" --out "$work/out" --cuts "$CUTS" --idle 1 --flood 0.3 --quiet-wait 0 \
    --addrs 127.0.2.21,127.0.2.22,127.0.2.23 "${tools[@]}" >"$work/run.log" 2>&1; then
  cat "$work/run.log"
  echo "FAIL: bench/run exited with an error"
  exit 1
fi

fail=0
check() {
  if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi
}
results="$work/out/RESULTS.md"
csv="$work/out/samples.csv"
row() { grep -F "| $1 |" "$results" | head -1; }
# The quorvel column of a table row (the floor comes first).
quorvel_cell() { row "$1" | awk -F'|' '{gsub(/[ ,×%]/, "", $4); print $4}'; }

check "RESULTS.md written" '[ -s "$results" ]'
check "table printed" 'grep -qF "| latency p50 (µs) |" "$work/run.log"'
check "machine described" 'grep -q "^- Machine: .* cores, Linux " "$results"'
check "samples.csv has a header and $CUTS samples per subject" \
  '[ "$(head -1 "$csv")" = "subject,cut,latency_us" ] &&
   [ "$(grep -c "^quorvel," "$csv")" = "$CUTS" ] && [ "$(grep -c "^floor," "$csv")" = "$CUTS" ]'
check "no cut lost" '[ "$(row "cuts measured (lost)")" = "| cuts measured (lost) | $CUTS (0) | $CUTS (0) |" ]'
check "quorvel p50 > 0" 'awk -v v="$(quorvel_cell "latency p50 (µs)")" "BEGIN {exit !(v > 0)}"'
check "p50 <= p99 <= max" \
  'awk -v a="$(quorvel_cell "latency p50 (µs)")" -v b="$(quorvel_cell "latency p99 (µs)")" \
       -v c="$(quorvel_cell "latency max (µs)")" "BEGIN {exit !(a <= b && b <= c)}"'
check "every sample positive" 'awk -F, "NR > 1 && !(\$3 > 0) {bad = 1} END {exit bad}" "$csv"'
check "acknowledged datagrams counted" \
  'awk -v v="$(quorvel_cell "acknowledged switcher datagrams/s, mean")" "BEGIN {exit !(v > 0)}"'
check "peak RSS read" 'quorvel_cell "peak RSS (VmHWM)" | grep -q "MiB$"'
check "goals listed" 'grep -qF "| peak RSS ≤ 4 MiB |" "$results"'
if command -v gnuplot >/dev/null; then
  check "CDF plot drawn" 'grep -q "<svg" "$work/out/latency-cdf.svg"'
fi
check "nothing published into the source tree" '! grep -q "results copied" "$work/run.log"'

if [ "$fail" != 0 ]; then
  echo "--- bench/run output"
  cat "$work/run.log"
  exit 1
fi
echo "bench smoke: all checks passed"
