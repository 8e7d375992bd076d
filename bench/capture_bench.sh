#!/usr/bin/env bash
# Throughput of capture conversion: generates a capture of at least 1 GB with compact_sim, then
# times `cat FILE > /dev/null` and compact_csv -r with a filter no datagram matches (reading and
# reassembly alone), a narrow filter and no filter, and prints MB/s of capture and the ratio to
# cat. The capture is deleted at the end.
#
# Usage: bench/capture_bench.sh [BUILD_DIR]   (default build/capture-bench, configured as Release)
# Environment: BENCH_DIR  directory for the capture and the CSV (default ${TMPDIR:-/tmp});
#              FRAMES     frames in the capture (default 18000: about 1.08 GB of default frames).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/capture-bench}
work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/capture_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
frames=${FRAMES:-18000}
min_bytes=1000000000  # the capture must reach 1 GB

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMPACT_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target compact_csv compact_sim -j 2 >/dev/null
receiver=$build/compact_csv
simulator=$build/tools/compact_sim

# Seconds since the epoch with nanoseconds, for differences.
now() { date +%s.%N; }

capture=$work/scan.pcap
echo "== generating $frames frames"
start=$(now)
"$simulator" --pcap-out "$capture" -n "$frames"
end=$(now)
bytes=$(stat -c %s "$capture")
if ((bytes < min_bytes)); then
  echo "capture of $bytes bytes is below 1 GB; raise FRAMES" >&2
  exit 1
fi
awk -v b="$bytes" -v s="$start" -v e="$end" \
  'BEGIN { printf "capture: %d bytes, written in %.1f s (%.0f MB/s)\n", b, e - s, b / 1e6 / (e - s) }'

# Runs the command given as arguments once and prints its wall time in seconds.
timed() {
  local start end
  start=$(now)
  "$@"
  end=$(now)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

read_cat() { cat "$capture" >/dev/null; }
# A narrow filter to a file: the usual field use, with the status line and the summary.
narrow() { "$receiver" -r "$capture" --line 0 --beam 0:4 --echo 0 "$work/narrow.csv" >"$work/narrow.txt"; }
# A port nobody sends to: reading, reassembly and filtering alone, nothing decoded.
nothing() { "$receiver" -r "$capture" --port 1 "$work/nothing.csv" >/dev/null; }
# No filter: every value of every frame as CSV, to standard output; the summary goes to
# standard error then. Discarding the CSV keeps the disk out of the measurement.
everything() { "$receiver" -r "$capture" >/dev/null 2>"$work/summary.txt"; }

read_cat  # the capture was just written: warm the page cache for every run alike
t_cat=$(timed read_cat)
t_nothing=$(timed nothing)
t_narrow=$(timed narrow)
t_all=$(timed everything)
t_cat2=$(timed read_cat)

echo "== results (MB = 10^6 bytes of capture)"
awk -v b="$bytes" -v c1="$t_cat" -v c2="$t_cat2" -v z="$t_nothing" -v n="$t_narrow" -v a="$t_all" 'BEGIN {
  c = c1 < c2 ? c1 : c2
  printf "%-36s %8.2f s %9.0f MB/s\n", "cat FILE > /dev/null (best of 2)", c, b / 1e6 / c
  printf "%-36s %8.2f s %9.0f MB/s  %6.1fx cat time\n", "compact_csv -r, no datagram matches", z, b / 1e6 / z, z / c
  printf "%-36s %8.2f s %9.0f MB/s  %6.1fx cat time\n", "compact_csv -r, narrow filter", n, b / 1e6 / n, n / c
  printf "%-36s %8.2f s %9.0f MB/s  %6.1fx cat time\n", "compact_csv -r, no filter", a, b / 1e6 / a, a / c
}'
echo "narrow filter: $(stat -c %s "$work/narrow.csv") bytes of CSV"
echo "  $(tr '\r' '\n' <"$work/narrow.txt" | tail -n 1)"
echo "no filter:"
echo "  $(cat "$work/summary.txt")"
