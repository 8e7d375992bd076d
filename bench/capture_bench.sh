#!/usr/bin/env bash
# Throughput of capture conversion, in MB of capture per second, against two baselines in the
# same run: `cat FILE > /dev/null` (reading the file from the page cache: the machine's limit) and
# the previous release's receiver, built from git revision 9adffe8 (override with --baseline REV)
# in a temporary git worktree under the build folder.
#
# A capture of at least 1 GB is written with the simulator (default frames: 16 lines x 240 beams
# x 3 echoes, about 58 KB each, as IPv4 fragments), and the same frames are recorded live with
# compact_csv -w (the simulator sending them at 240 frames/s on loopback to a free port: a pcapng
# file, one unfragmented datagram per block; 75 s for the default FRAMES). Then each measurement
# runs ROUNDS times in turn and the best wall time of each counts:
#   cat                 cat FILE > /dev/null
#   current, narrow     compact_csv -r FILE --line 0 --beam 0:9 OUT.csv   (target >= 25% of cat)
#   current, narrow, -w capture   the same of the live recording, with --port of the recording
#                       (target: the same MB/s as of the simulator's capture, >= 0.9 of it)
#   current, all        compact_csv -r FILE > /dev/null                   (every column)
#   current, nothing    compact_csv -r FILE --port 1 OUT.csv              (no datagram matches:
#                       reading and reassembly alone)
#   previous, all and previous, narrow as above           (target: current, all >= 5x previous)
# Speeds are given by wall time (the targets) and by CPU time (user + system: on a busy machine
# the better estimate of the wall time on an idle one; all the measured programs are single
# threaded and read from the page cache). The CSV of the narrow filter is compared between the two
# releases and between the two captures, and the summaries' row counts of the full conversion
# too. Every process started here is stopped; the captures, the CSV and the worktree are removed
# at the end.
#
# Usage: bench/capture_bench.sh [--baseline REV] [BUILD_DIR]   (default build/rel, Release)
# Environment: BENCH_DIR  directory for the captures and the CSV (default ${TMPDIR:-/tmp});
#              FRAMES     frames in the capture (default 18000: about 1.1 GB);
#              ROUNDS     runs of each measurement (default 3); MIN_BYTES the least capture
#              size accepted (default 10^9; lower only for trying the script).
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/common.sh

baseline_rev=9adffe8
build=build/rel
while (($# > 0)); do
  case $1 in
    --baseline)
      baseline_rev=$2
      shift 2
      ;;
    -h | --help)
      sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'
      exit 0
      ;;
    *)
      build=$1
      shift
      ;;
  esac
done
frames=${FRAMES:-18000}
rounds=${ROUNDS:-3}
min_bytes=${MIN_BYTES:-1000000000} # the capture must reach 1 GB (lower it only for a quick try)

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/capture_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do stop_process "$pid"; done
  rm -rf "$work"
  remove_previous_release
}
trap cleanup EXIT

echo "== building the current tree in $build and $baseline_rev in $build/previous-release"
build_current "$build"
receiver=$build/compact_csv
simulator=$build/tools/compact_sim
build_previous_release "$baseline_rev" "$build/previous-release"

capture=$work/scan.pcap
echo "== generating $frames frames"
start=$(now)
"$simulator" --pcap-out "$capture" -n "$frames" >"$work/simulator.txt"
end=$(now)
bytes=$(stat -c %s "$capture")
if ((bytes < min_bytes)); then
  echo "capture of $bytes bytes is below 1 GB; raise FRAMES" >&2
  exit 1
fi
awk -v b="$bytes" -v s="$start" -v e="$end" \
  'BEGIN { printf "capture: %d bytes, written in %.1f s\n", b, e - s }'

# The same frames recorded live with -w (the simulator's frames depend only on their counters and
# the rate, 240 frames/s in both).
live=$work/live.pcapng
port=$(free_udp_port)
echo "== recording $frames frames live with -w on port $port"
"$receiver" --port "$port" -w "$live" >"$work/recording.txt" 2>&1 &
pids=($!)
if ! wait_for_port "$port"; then
  echo "the receiver did not bind port $port" >&2
  exit 1
fi
drops0=$(udp_drops "$port")
"$simulator" --port "$port" -n "$frames" >"$work/live_simulator.txt" 2>&1
sleep 1.5 # the receiver takes what is still queued
live_drops=$(($(udp_drops "$port") - drops0))
stop_process "${pids[0]}"
pids=()
live_bytes=$(stat -c %s "$live")
live_lost=$(summary_lost "$work/recording.txt")
live_frames=$(capture_frames "$receiver" "$live" "$port")
echo "recording: $live_bytes bytes, $live_frames of $frames frames, $live_drops kernel drops," \
  "$live_lost lost (summary)"

# The measurements. Each writes its CSV into $work/NAME.csv where it writes one.
m_cat() { cat "$capture" >/dev/null; }
m_narrow() { "$receiver" -r "$capture" --line 0 --beam 0:9 "$work/narrow.csv" >/dev/null; }
m_all() { "$receiver" -r "$capture" >/dev/null 2>"$work/all.txt"; }
m_live_narrow() {
  "$receiver" -r "$live" --port "$port" --line 0 --beam 0:9 "$work/live_narrow.csv" >/dev/null
}
m_nothing() { "$receiver" -r "$capture" --port 1 "$work/nothing.csv" >/dev/null; }
m_prev_all() { "$previous_receiver" -r "$capture" >/dev/null 2>"$work/prev_all.txt"; }
m_prev_narrow() {
  "$previous_receiver" -r "$capture" --line 0 --beam 0:9 "$work/prev_narrow.csv" >/dev/null
}
names=(cat narrow live_narrow all nothing prev_all prev_narrow)

# Wall, user and system seconds of one run, appended to $work/times.NAME.
TIMEFORMAT='%3R %3U %3S'
measure() {
  local name=$1
  { time "m_$name"; } 2>>"$work/times.$name"
}

m_cat # warm the page cache, so that every run reads the captures from memory alike
cat "$live" >/dev/null
echo "== $rounds rounds of: ${names[*]}"
for round in $(seq 1 "$rounds"); do
  for name in "${names[@]}"; do measure "$name"; done
  echo "round $round done"
done

# Best (lowest) wall time of a measurement, with its CPU seconds.
best() { sort -n "$work/times.$1" | head -n 1; }

echo
echo "== results: MB = 10^6 bytes of capture, best wall time of $rounds rounds, load average" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
{
  for name in "${names[@]}"; do echo "$name $(best "$name")"; done
} | awk -v b="$bytes" -v lb="$live_bytes" '
  { wall[$1] = $2; cpu[$1] = $3 + $4; size[$1] = $1 == "live_narrow" ? lb : b }
  function ratio(label, fast, slow, target, unit) {
    printf "%-36s %8.3f%s %8.3f%s", label, wall[slow] / wall[fast], unit,
      (cpu[fast] > 0 ? cpu[slow] / cpu[fast] : 0), unit
    if (target > 0)
      printf "   target >= %g: %s", target, (wall[slow] / wall[fast] >= target ? "met" : "MISSED")
    printf "\n"
  }
  END {
    label["cat"] = "cat FILE > /dev/null"
    label["narrow"] = "current, narrow filter"
    label["live_narrow"] = "current, narrow, -w capture"
    label["all"] = "current, every column"
    label["nothing"] = "current, no datagram matches"
    label["prev_narrow"] = "previous, narrow filter"
    label["prev_all"] = "previous, every column"
    printf "%-30s %9s %9s %12s %12s\n", "", "wall s", "CPU s", "MB/s (wall)", "MB/s (CPU)"
    n = split("cat narrow live_narrow all nothing prev_narrow prev_all", order, " ")
    for (i = 1; i <= n; ++i) {
      k = order[i]
      printf "%-30s %9.3f %9.3f %12.0f %12.0f\n", label[k], wall[k], cpu[k],
        size[k] / 1e6 / wall[k], size[k] / 1e6 / cpu[k]
    }
    printf "\nspeed ratios %24s %9s %9s\n", "", "by wall", "by CPU"
    ratio("current narrow / cat", "narrow", "cat", 0.25, "  ")
    ratio("current all / previous all", "all", "prev_all", 5, " x")
    ratio("current narrow / previous narrow", "narrow", "prev_narrow", 0, " x")
    ratio("current all / cat", "all", "cat", 0, "  ")
    ratio("current nothing / cat", "nothing", "cat", 0, "  ")
    # The two captures differ in size: their speeds are compared in MB/s, not by time.
    by_wall = (lb / wall["live_narrow"]) / (b / wall["narrow"])
    by_cpu = (lb / cpu["live_narrow"]) / (b / cpu["narrow"])
    printf "%-36s %8.3f   %8.3f     target >= 0.9: %s\n", "-w capture / simulator capture, MB/s",
      by_wall, by_cpu, (by_wall >= 0.9 ? "met" : "MISSED")
  }'

echo
echo "== checks"
if cmp -s "$work/narrow.csv" "$work/prev_narrow.csv"; then
  echo "narrow filter: the same CSV from both releases ($(stat -c %s "$work/narrow.csv") bytes," \
    "$(data_rows "$work/narrow.csv") rows)"
else
  echo "narrow filter: the CSV of the two releases DIFFERS"
fi
if cmp -s "$work/narrow.csv" "$work/live_narrow.csv"; then
  echo "narrow filter: the same CSV from the simulator's capture and the -w capture"
else
  echo "narrow filter: the CSV of the simulator's capture and of the -w capture DIFFERS"
fi
echo "current, every column:  $(cat "$work/all.txt")"
echo "previous, every column: $(cat "$work/prev_all.txt")"
echo "simulator: $(cat "$work/simulator.txt")"
echo "simulator, live: $(cat "$work/live_simulator.txt")"
echo "recording: $(grep -E '^Received' "$work/recording.txt")"
