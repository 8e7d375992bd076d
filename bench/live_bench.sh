#!/usr/bin/env bash
# CPU cost of live reception: compact_csv receiving compact_sim at 240 frames/s (default frames:
# 16 lines x 240 beams x 3 echoes, about 58 KB each) on loopback, measured over DURATION seconds
# from the receiver's utime + stime in /proc/PID/stat, for these cases in one run:
#   current, every column to a file         target <= 10% of one core
#   current, every column to a file and -w capture    target: <= 1% of a core more than the above
#   current, -w capture alone (no CSV)      target <= 2%
#   current, narrow filter (--line 0 --beam 0:9) to a file    target <= 2%
#   current, 4 senders (--senders 4 --vary address, 240 frames/s each), every column, one file
#     each (--per-sender)                   target <= 4 x every column to a file + 2%, nothing lost
#   the previous release (git revision 9adffe8, or --baseline REV), every column and narrow
# Also per case: the receiver's peak RSS (VmHWM; target <= 16 MB, 10^6 bytes each), the
# simulator's CPU, and lost telegrams four ways: "lost" in the receiver's last status line, lost
# and dropped in its summary, datagrams the kernel dropped for the port (/proc/net/udp), and
# frames sent minus frames written to the CSV files (or to the capture, without CSV). The frames
# in a capture are counted by converting it with the narrow filter afterwards. "of rate" is the
# frames sent in % of those asked for: a simulator short of CPU time on a busy machine sends
# fewer (a note says so below 97%), and the 4-sender target then compares the CPU scaled to
# the rates asked for, as the receiver's work goes by frames.
# Each case gets a free port; every process started here is stopped, and the CSV and capture
# files, the previous release's worktree and build are removed at the end.
#
# Usage: bench/live_bench.sh [--baseline REV] [BUILD_DIR]   (default build/rel, Release)
# Environment: BENCH_DIR  directory for the CSV and capture files (default ${TMPDIR:-/tmp});
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

# One case: NAME RECEIVER OUTPUTS SENDERS ROWS_PER_FRAME [FILTER...]. OUTPUTS is csv (one file),
# capture (-w alone), csv+capture or per-sender (--per-sender, one file per sender); SENDERS
# sensors send at $rate frames/s each, from addresses of their own. Prints one line of results.
run_case() {
  local name=$1 receiver=$2 outputs=$3 senders=$4 rows_per_frame=$5
  shift 5
  local port dir=$work/$name log=$work/$name.log simlog=$work/$name.sim
  local csv_args=() capture=$dir/capture.pcapng
  mkdir "$dir"
  case $outputs in
    csv) csv_args=("$dir/scan.csv") ;;
    capture) csv_args=(-w "$capture") ;;
    csv+capture) csv_args=(-w "$capture" "$dir/scan.csv") ;;
    per-sender) csv_args=(--per-sender "$dir/scan-{address}-{sender_id}.csv") ;;
  esac
  port=$(free_udp_port)
  "$receiver" --port "$port" "$@" "${csv_args[@]}" >"$log" 2>&1 &
  local receiver_pid=$!
  pids+=("$receiver_pid")
  if ! wait_for_port "$port"; then
    echo "$name: the receiver did not bind port $port" >&2
    return 1
  fi
  local drops0
  drops0=$(udp_drops "$port")
  local several=()
  ((senders == 1)) || several=(--senders "$senders" --vary address)
  "$simulator" --port "$port" --rate "$rate" "${several[@]}" -d "$((warmup + duration + 1))" \
    >"$simlog" 2>&1 &
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
  local sent lost summary file files=0 rows=0 written captured=- bytes
  sent=$(simulator_frames "$simlog")
  lost=$(status_lost "$log")
  summary=$(summary_lost "$log")
  for file in "$dir"/*.csv; do
    [[ -f $file ]] || continue
    files=$((files + 1))
    rows=$((rows + $(data_rows "$file")))
  done
  written=$((rows / rows_per_frame))
  if [[ -f $capture ]]; then
    captured=$(capture_frames "$build/compact_csv" "$capture" "$port")
    ((files > 0)) || written=$captured
  fi
  bytes=$(du -sb "$dir" | cut -f1)
  awk -v n="$name" -v t0="$t0" -v t1="$t1" -v c="$((c1 - c0))" -v s="$((s1 - s0))" \
    -v hz="$ticks_per_second" -v hwm="$hwm" -v lost="$lost" -v summary="$summary" \
    -v drops="$drops" -v sent="$sent" -v written="$written" -v captured="$captured" \
    -v files="$files" -v bytes="$bytes" \
    -v requested="$((senders * rate * (warmup + duration + 1)))" 'BEGIN {
      wall = t1 - t0
      missing = written ~ /^[0-9]+$/ ? sent - written : "?"
      printf "%-18s %7.2f%% %7.1f %8.2f%% %6s %7s %6d %7d %6.1f%% %8s %7s %8s %5d %8.1f\n", n,
        100 * c / hz / wall, hwm * 1024 / 1e6, 100 * s / hz / wall, lost, summary, drops, sent,
        100 * sent / requested, written, missing, captured, files, bytes / 1e6
    }' | tee -a "$work/results"
  rm -rf "$dir"
}

echo "== $duration s per case at $rate frames/s per sender, load average" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
printf "%-18s %8s %7s %9s %6s %7s %6s %7s %7s %8s %7s %8s %5s %8s\n" case "CPU" "RSS MB" \
  "sim CPU" "lost" "summary" "drops" "sent" "of rate" "written" "missing" "captured" "files" \
  "out MB"
current=$build/compact_csv
run_case current-all "$current" csv 1 "$lines_per_frame"
run_case current-all-w "$current" csv+capture 1 "$lines_per_frame"
run_case current-w "$current" capture 1 1
run_case current-narrow "$current" csv 1 1 --line 0 --beam 0:9
run_case current-4-senders "$current" per-sender 4 "$lines_per_frame"
run_case previous-all "$previous_receiver" csv 1 "$lines_per_frame"
run_case previous-narrow "$previous_receiver" csv 1 1 --line 0 --beam 0:9
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

# Columns of the results: 1 case, 2 CPU, 3 RSS, 4 simulator CPU, 5 status lost, 6 summary lost,
# 7 drops, 8 sent, 9 sent in % of the rate asked for, 10 written, 11 missing, 12 captured,
# 13 files, 14 MB.
awk '
  { cpu[$1] = $2 + 0; rss[$1] = $3 + 0 }
  function verdict(ok) { return ok ? "met" : "MISSED" }
  # Nothing lost in case k by any count: status line, summary, kernel, rows and the capture.
  function clean(k) {
    return lost[k] == 0 && summary[k] == 0 && drops[k] == 0 && missing[k] == 0 &&
      (captured[k] == "-" || captured[k] == sent[k])
  }
  # The CPU of case k at the rate asked for: a simulator short of CPU time on a busy machine
  # sends fewer frames, and the receiver works per frame.
  function full(k) { return share[k] < 97 ? cpu[k] * 100 / share[k] : cpu[k] }
  { lost[$1] = $5; summary[$1] = $6; drops[$1] = $7; sent[$1] = $8; share[$1] = $9 + 0
    missing[$1] = $11; captured[$1] = $12; files[$1] = $13 }
  END {
    printf "\ncurrent, every column: %.2f%% of one core, target <= 10%%: %s\n", cpu["current-all"],
      verdict(cpu["current-all"] <= 10)
    printf "current, narrow filter: %.2f%% of one core, target <= 2%%: %s\n",
      cpu["current-narrow"], verdict(cpu["current-narrow"] <= 2)
    added = cpu["current-all-w"] - cpu["current-all"]
    printf "current, -w added to every column: %+.2f%% of one core (%.2f%% - %.2f%%), " \
      "target <= 1%%: %s\n", added, cpu["current-all-w"], cpu["current-all"], verdict(added <= 1)
    printf "current, -w alone: %.2f%% of one core, target <= 2%%: %s\n", cpu["current-w"],
      verdict(cpu["current-w"] <= 2)
    k = "current-4-senders"
    limit = 4 * full("current-all") + 2
    scaled = full(k) != cpu[k] || full("current-all") != cpu["current-all"]
    printf "current, 4 senders to 4 files: %.2f%% of one core", cpu[k]
    if (scaled) printf " (%.2f%% at the rate asked for)", full(k)
    printf ", target <= 4 x %.2f%% + 2%% = %.2f%%: %s\n", full("current-all"), limit,
      verdict(full(k) <= limit)
    printf "current, 4 senders: %s files, lost %s (status line) and %s (summary), %s kernel " \
      "drops, %s frames of %s missing, target 4 files and nothing lost: %s\n", files[k],
      lost[k], summary[k], drops[k], missing[k], sent[k], verdict(files[k] == 4 && clean(k))
    printf "current, -w cases: every frame written and captured, nothing lost: %s\n",
      (clean("current-all-w") && clean("current-w") ? "yes" : "NO")
    peak = rss["current-all"] > rss["current-narrow"] ? rss["current-all"] : rss["current-narrow"]
    printf "current, peak RSS: %.1f MB, target <= 16 MB: %s\n", peak, verdict(peak <= 16)
    if (cpu["current-all"] > 0)
      printf "previous / current CPU, every column: %.1f x\n", cpu["previous-all"] / cpu["current-all"]
    if (cpu["current-narrow"] > 0)
      printf "previous / current CPU, narrow filter: %.1f x\n",
        cpu["previous-narrow"] / cpu["current-narrow"]
    for (k in share)
      if (share[k] < 97)
        printf "note: %s: the simulator sent %.1f%% of the frames asked for; its CPU figure is " \
          "for that rate\n", k, share[k]
  }' "$work/results"
