#!/usr/bin/env bash
# The highest frame rate on loopback at which compact_csv with the narrow filter (--line 0
# --beam 0:9, to a file) loses no datagram over DURATION seconds, for the current tree and the
# previous release (git revision 9adffe8, or --baseline REV), in one run; and the same for the
# current tree keeping the datagrams with -w alone (no CSV), target at least 80% of the current
# narrow-filter rate. Frames are the simulator's default (16 lines x 240 beams x 3 echoes, about
# 58 KB).
#
# The simulator's --rate doubles from 240 (240, 480, 960, ...) until a trial loses datagrams,
# then the rate is bisected between the last clean and the first lossy trial down to STEP
# frames/s. A trial is clean when the kernel dropped no datagram for the port (/proc/net/udp),
# the receiver's status line and summary report no lost or dropped telegram, and the CSV (or the
# capture, converted with the narrow filter after the trial) holds one row for every frame the
# simulator sent; any loss makes it lossy. A clean trial in which the simulator itself sent less
# than 97% of the requested frames says nothing about the receiver at that rate: the search stops
# there and says so (the simulator traces every frame it sends, and shares the machine's cores
# with the receiver). With SENDER=frames the frames come from frame_sender (bench/frame_sender.cpp)
# instead: one second of the simulator's frames made beforehand and sent over and over with
# consecutive telegram counters, which reaches far higher rates. A search that ends at the
# sender's limit (or at MAX_RATE) gives only a lower bound, and the -w target is judged
# "unknown" where that bound decides it.
# Each trial runs a fresh receiver on a free port; every process started here is stopped, and
# the CSV and capture files, the previous release's worktree and build are removed at the end.
#
# Usage: bench/rate_bench.sh [--baseline REV] [BUILD_DIR]   (default build/rel, Release)
# Environment: BENCH_DIR  directory for the CSV and capture files (default ${TMPDIR:-/tmp});
#              DURATION   seconds per trial (default 10); STEP bisection resolution (default 60);
#              MAX_RATE   highest rate tried (default 61440);
#              SENDER     simulator (default: compact_sim --rate) or frames (frame_sender).
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
duration=${DURATION:-10}
sender=${SENDER:-simulator}
step=${STEP:-60}
max_rate=${MAX_RATE:-61440}
nominal=240

work=$(mktemp -d "${BENCH_DIR:-${TMPDIR:-/tmp}}/rate_bench.XXXXXX")
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
case $sender in
  simulator)
    send() { "$simulator" --port "$1" --rate "$2" -d "$duration"; }
    ;;
  frames)
    cmake -S . -B "$build" -DCOMPACT_BUILD_BENCH=ON >/dev/null
    cmake --build "$build" --target frame_sender -j 2 >/dev/null
    send() { "$build/bench/frame_sender" --port "$1" --rate "$2" --duration "$duration"; }
    ;;
  *)
    echo "SENDER must be simulator or frames" >&2
    exit 1
    ;;
esac
build_previous_release "$baseline_rev" "$build/previous-release"

# One trial: RECEIVER RATE OUTPUT, OUTPUT narrow (the narrow filter to a CSV file) or capture
# (-w alone). Prints a line of results and sets trial_verdict to clean, lossy or sender (the
# sender fell short of the rate).
trial() {
  local receiver=$1 rate=$2 output=$3
  local port csv=$work/trial.csv capture=$work/trial.pcapng log=$work/trial.log
  local simlog=$work/trial.sim outputs
  if [[ $output == capture ]]; then
    outputs=(-w "$capture")
  else
    outputs=(--line 0 --beam 0:9 "$csv")
  fi
  port=$(free_udp_port)
  "$receiver" --port "$port" "${outputs[@]}" >"$log" 2>&1 &
  local receiver_pid=$!
  pids=("$receiver_pid")
  if ! wait_for_port "$port"; then
    echo "the receiver did not bind port $port" >&2
    return 1
  fi
  local drops0 start end
  drops0=$(udp_drops "$port")
  start=$(now)
  send "$port" "$rate" >"$simlog" 2>&1 || true
  end=$(now)
  sleep 1.5 # the receiver takes what is still queued
  local drops sent written lost summary
  drops=$(($(udp_drops "$port") - drops0))
  stop_process "$receiver_pid"
  pids=()
  sent=$(simulator_frames "$simlog")
  if [[ $output == capture ]]; then
    written=$(capture_frames "$receiver" "$capture" "$port")
  else
    written=$(data_rows "$csv")
  fi
  lost=$(status_lost "$log")
  summary=$(summary_lost "$log")
  if ((drops != 0)) || [[ $written != "$sent" || ($lost != 0 && $lost != "?") ||
    ($summary != 0 && $summary != "?") ]]; then
    trial_verdict=lossy
  elif ((sent * 100 < rate * duration * 97)); then
    trial_verdict=sender
  else
    trial_verdict=clean
  fi
  awk -v r="$rate" -v s="$sent" -v w="$written" -v d="$drops" -v l="$lost" -v m="$summary" \
    -v v="$trial_verdict" -v st="$start" -v en="$end" 'BEGIN {
      printf "  rate %6d/s: sent %7d (%7.0f/s)  written %7s  kernel drops %6d  lost %4s status" \
        " line, %4s summary  %s\n", r, s, s / (en - st), w, d, l, m, v
    }'
  rm -f "$csv" "$capture"
}

# Searches the highest clean rate of RECEIVER with OUTPUT (as for trial); sets best_rate and
# limit_note.
search() {
  local receiver=$1 output=$2 good=0 bad=0 rate=$nominal
  limit_note=""
  while ((rate <= max_rate)); do
    trial "$receiver" "$rate" "$output"
    case $trial_verdict in
      clean) good=$rate ;;
      lossy)
        bad=$rate
        break
        ;;
      sender)
        limit_note="the $sender fell short of $rate/s: the limit found is the sender's"
        break
        ;;
    esac
    rate=$((rate * 2))
  done
  if ((bad == 0 && ${#limit_note} == 0)); then limit_note="no loss up to MAX_RATE $max_rate/s"; fi
  while ((bad > 0 && bad - good > step)); do
    rate=$(((good + bad) / 2))
    trial "$receiver" "$rate" "$output"
    case $trial_verdict in
      clean) good=$rate ;;
      lossy) bad=$rate ;;
      sender)
        limit_note="the $sender fell short of $rate/s: the limit found is the sender's"
        break
        ;;
    esac
  done
  best_rate=$good
}

echo "== load average $(cut -d' ' -f1-3 /proc/loadavg); $duration s per trial; sender: $sender"
echo "current ($build/compact_csv), narrow filter:"
search "$build/compact_csv" narrow
current_rate=$best_rate current_note=$limit_note
echo "current ($build/compact_csv), -w alone:"
search "$build/compact_csv" capture
capture_rate=$best_rate capture_note=$limit_note
echo "previous ($baseline_rev), narrow filter:"
search "$previous_receiver" narrow
previous_rate=$best_rate previous_note=$limit_note
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"

echo
echo "== highest rate without loss"
awk -v c="$current_rate" -v p="$previous_rate" -v w="$capture_rate" -v n="$nominal" \
  -v cn="$current_note" -v pn="$previous_note" -v wn="$capture_note" 'BEGIN {
    printf "current, narrow filter:  %6d frames/s = %5.1f x %d%s\n", c, c / n, n,
      cn == "" ? "" : "  (" cn ")"
    printf "current, -w alone:       %6d frames/s = %5.1f x %d%s\n", w, w / n, n,
      wn == "" ? "" : "  (" wn ")"
    printf "previous, narrow filter: %6d frames/s = %5.1f x %d%s\n", p, p / n, n,
      pn == "" ? "" : "  (" pn ")"
    if (p > 0) printf "current / previous, narrow filter: %.1f x\n", c / p
    if (c > 0) {
      # A figure with a note is a lower bound: a verdict it could overturn is unknown.
      r = w / c
      if (r >= 0.8) verdict = cn == "" ? "met" : "unknown (the narrow figure is a lower bound)"
      else verdict = wn == "" ? "MISSED" : "unknown (the -w figure is a lower bound)"
      printf "-w alone / narrow filter: %.2f, target >= 0.80: %s\n", r, verdict
    }
  }'
