#!/usr/bin/env bash
# A short run of the benchmark (bench/run) against the built quorvel and the floor relay, so the
# benchmark keeps working: a few cuts, a two-second idle window (long enough for a ping), a brief
# flood, a few cuts with eight cameras, with every kind of output and against one recorded
# switcher dump, and a brief fault run with 64 cameras and every output, then checks that the table and the samples are written
# and that the numbers make sense. No Node peer, no npm; its own loopback addresses and its own
# folder under /tmp. No speed goal is checked.
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
    --build "$work/build" --out "$work/out" --cuts "$CUTS" --idle 2 --flood 0.3 --quiet-wait 0 \
    --fault-minutes 0.2 --addr-faults 127.0.2.27 --addr-http 127.0.2.28 \
    --addrs 127.0.2.21,127.0.2.22,127.0.2.23 --addrs8 127.0.2.24,127.0.2.25,127.0.2.26 \
    --outputs-cuts 4 --pages 3 --tally-clients 2 --tsl 4 --idle-outputs 1 --first-lamp-runs 1 \
    --dumps "$SRC/tests/data/atem-dumps/2me-v8.1.data" \
    --addrs-outputs 127.0.2.29,127.0.2.30,127.0.2.31,127.0.2.32,127.0.2.33,127.0.2.34 \
    "${tools[@]}" >"$work/run.log" 2>&1; then
  cat "$work/run.log"
  echo "FAIL: bench/run exited with an error"
  exit 1
fi

# The quorvel column of a table row (the floor comes first).
results="$work/out/RESULTS.md" csv="$work/out/samples.csv"
cell() { grep -F "| $1 |" "$results" | head -1 | awk -F'|' '{gsub(/[ ,×%]/, "", $4); print $4}'; }
fail=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; fail=1; fi; }
check "table printed and machine described" \
  'grep -qF "| latency p50 (µs) |" "$work/run.log" && grep -q "^- Machine: .* cores, Linux " "$results"'
check "$CUTS positive samples per subject" \
  '[ "$(grep -c "^quorvel,[0-9]*,[0-9.]*[1-9]" "$csv")" = "$CUTS" ] &&
   [ "$(grep -c "^floor,[0-9]*,[0-9.]*[1-9]" "$csv")" = "$CUTS" ]'
check "no cut lost" 'grep -qxF "| cuts measured (lost) | $CUTS (0) | $CUTS (0) |" "$results" &&
  grep -qxF "| eight cameras: cuts measured (lost) | $CUTS (0) | $CUTS (0) |" "$results"'
check "0 < p50 <= p99 <= max" 'awk -v a="$(cell "latency p50 (µs)")" -v b="$(cell "latency p99 (µs)")" \
  -v c="$(cell "latency max (µs)")" "BEGIN {exit !(0 < a && a <= b && b <= c)}"'
check "acknowledged datagrams counted, peak RSS read" \
  'awk -v v="$(cell "acknowledged switcher datagrams/s, mean")" "BEGIN {exit !(v > 0)}" &&
   cell "peak RSS (VmHWM)" | grep -q "MiB$"'
check "idle wake-ups and switcher datagrams counted" \
  'awk -v w="$(cell "idle wake-ups per second (context switches)")" \
    -v d="$(cell "switcher datagrams received in the idle window")" "BEGIN {exit !(w > 0 && d > 0)}"'
check "eight cameras: $CUTS positive samples, 0 < p50 <= p99, ratio and peak RSS" \
  '[ "$(grep -c "^quorvel-8cam,[0-9]*,[0-9.]*[1-9]" "$csv")" = "$CUTS" ] &&
   awk -v a="$(cell "eight cameras: second camera datagram p50 (µs)")" \
    -v b="$(cell "eight cameras: second camera datagram p99 (µs)")" \
    -v r="$(cell "eight cameras: p50 / one-camera p50")" \
    -v m="$(cell "peak RSS with eight cameras (VmHWM)" | sed "s/MiB//")" \
    "BEGIN {exit !(0 < a && a <= b && r > 0 && m > 0)}"'
if command -v gnuplot >/dev/null; then
  check "CDF plot drawn" 'grep -q "<svg" "$work/out/latency-cdf.svg"'
fi
check "faults: every clean cut's lamp within 1 s, nothing unacknowledged" \
  'grep -q "^| after 0.2 min of 5 % loss .* 0 unacknowledged | yes |" "$results"'
check "HTTP camera: every request came on the connection kept open" \
  'grep -q "^| HTTP camera: .*(1 connection, 0 lost)" "$results"'
check "outputs: every cut reached every camera and output, the bytes right" \
  'grep -qxF "| cuts measured (cameras lost, outputs lost) | 4 (0, 0) | 4 (0, 0) | 4 (0, 0) | 4 (0, 0) | 4 (0, 0) |" "$results" &&
   grep -qxF "| wrong commands or tally lines, extra camera datagrams | 0, 0 | 0, 0 | 0, 0 | 0, 0 | 0, 0 |" "$results"'
check "time to first lamp: the dump's camera lit with the right lamp" \
  'grep -q "^| 2me-v8.1.data | [0-9]* | [0-9.]* | [0-9.]* | [0-9.]* | 1 (0, 0) |" "$results"'
check "nothing published into the source tree" '! grep -q "results copied" "$work/run.log"'
[ "$fail" = 0 ] || { echo "--- bench/run output"; cat "$work/run.log"; exit 1; }
echo "bench smoke: all checks passed"
