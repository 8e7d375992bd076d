#!/usr/bin/env bash
# CPU cost of live reception: compact_csv receiving compact_sim at 240 frames/s (default frames:
# 16 lines x 240 beams x 3 echoes, about 58 KB each) on loopback, measured over DURATION seconds
# from the receiver's utime + stime in /proc/PID/stat, for four cases in one run:
#   current, every column to a file         target <= 10% of one core
#   current, narrow filter (--line 0 --beam 0:9) to a file    target <= 2%
#   the previous release (git revision 9adffe8, or --baseline REV), the same two
# Also per case: the receiver's peak RSS (VmHWM; target <= 16 MB, 10^6 bytes each), the
# simulator's CPU, and lost telegrams three ways: "lost" in the receiver's last status line,
# datagrams the kernel dropped for the port (/proc/net/udp), and frames sent minus frames
# written to the CSV.
# Each case gets a free port; every process started here is stopped, and the CSV files, the
# previous release's worktree and build are removed at the end.
#
# Usage: bench/live_bench.sh [--baseline REV] [BUILD_DIR]   (default build/rel, Release)
# Environment: BENCH_DIR  directory for the CSV files (default ${TMPDIR:-/tmp});
#              DURATION   seconds measured per case (default 30); WARMUP seconds before (2).
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
duration=${DURATION:-30}
warmup=${WARMUP:-2}
rate=240
lines_per_frame=16 # rows of every column per frame; the narrow filter writes one

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/live_bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do stop_process "$pid"; done
  rm -rf "$work"
  remove_previous_release
}
trap cleanup EXIT

echo "== building the current tree in $build and $baseline_rev in $build/previous-release"
build_current "$build"
simulator=$build/tools/compact_sim
build_previous_release "$baseline_rev" "$build/previous-release"
ticks_per_second=$(getconf CLK_TCK)

# One case: NAME RECEIVER ROWS_PER_FRAME [FILTER...]. Prints one line of results.
run_case() {
  local name=$1 receiver=$2 rows_per_frame=$3
  shift 3
  local port csv=$work/$name.csv log=$work/$name.log simlog=$work/$name.sim
  port=$(free_udp_port)
  "$receiver" --port "$port" "$@" "$csv" >"$log" 2>&1 &
  local receiver_pid=$!
  pids+=("$receiver_pid")
  if ! wait_for_port "$port"; then
    echo "$name: the receiver did not bind port $port" >&2
    return 1
  fi
  local drops0
  drops0=$(udp_drops "$port")
  "$simulator" --port "$port" --rate "$rate" -d "$((warmup + duration + 1))" >"$simlog" 2>&1 &
  local simulator_pid=$!
  pids+=("$simulator_pid")
  sleep "$warmup"
  local t0 c0 s0 t1 c1 s1
  t0=$(now) c0=$(cpu_ticks "$receiver_pid") s0=$(cpu_ticks "$simulator_pid")
  sleep "$duration"
  t1=$(now) c1=$(cpu_ticks "$receiver_pid") s1=$(cpu_ticks "$simulator_pid")
  wait "$simulator_pid" || true
  sleep 1.5 # the receiver takes what is still queued
  local drops hwm
  drops=$(($(udp_drops "$port") - drops0))
  hwm=$(peak_rss_kb "$receiver_pid")
  stop_process "$receiver_pid"
  pids=()
  local sent written lost
  sent=$(simulator_frames "$simlog")
  written=$(($(data_rows "$csv") / rows_per_frame))
  lost=$(status_lost "$log")
  awk -v n="$name" -v t0="$t0" -v t1="$t1" -v c="$((c1 - c0))" -v s="$((s1 - s0))" \
    -v hz="$ticks_per_second" -v hwm="$hwm" -v lost="$lost" -v drops="$drops" -v sent="$sent" \
    -v written="$written" -v bytes="$(stat -c %s "$csv")" 'BEGIN {
      wall = t1 - t0
      printf "%-18s %7.2f%% %8.1f %9.2f%% %8s %6d %7d %8d %7d %8.1f\n", n, 100 * c / hz / wall,
        hwm * 1024 / 1e6, 100 * s / hz / wall, lost, drops, sent, written, sent - written, bytes / 1e6
    }' | tee -a "$work/results"
  rm -f "$csv"
}

echo "== $duration s per case at $rate frames/s, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-18s %8s %8s %10s %8s %6s %7s %8s %7s %8s\n" case "CPU" "RSS MB" "sim CPU" \
  "lost" "drops" "sent" "written" "missing" "CSV MB"
run_case current-all "$build/compact_csv" "$lines_per_frame"
run_case current-narrow "$build/compact_csv" 1 --line 0 --beam 0:9
run_case previous-all "$previous_receiver" "$lines_per_frame"
run_case previous-narrow "$previous_receiver" 1 --line 0 --beam 0:9
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

awk '
  { cpu[$1] = $2 + 0; rss[$1] = $3 + 0 }
  END {
    printf "\ncurrent, every column: %.2f%% of one core, target <= 10%%: %s\n", cpu["current-all"],
      (cpu["current-all"] <= 10 ? "met" : "MISSED")
    printf "current, narrow filter: %.2f%% of one core, target <= 2%%: %s\n",
      cpu["current-narrow"], (cpu["current-narrow"] <= 2 ? "met" : "MISSED")
    peak = rss["current-all"] > rss["current-narrow"] ? rss["current-all"] : rss["current-narrow"]
    printf "current, peak RSS: %.1f MB, target <= 16 MB: %s\n", peak, (peak <= 16 ? "met" : "MISSED")
    if (cpu["current-all"] > 0)
      printf "previous / current CPU, every column: %.1f x\n", cpu["previous-all"] / cpu["current-all"]
    if (cpu["current-narrow"] > 0)
      printf "previous / current CPU, narrow filter: %.1f x\n",
        cpu["previous-narrow"] / cpu["current-narrow"]
  }' "$work/results"
