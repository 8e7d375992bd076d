# shellcheck shell=bash
# Shared by the benchmark scripts (sourced, not run): building the current and the previous
# release's receiver, free ports, and reading a process's CPU time, peak memory and socket drops
# from /proc.

# Seconds since the epoch with nanoseconds, for differences.
now() { date +%s.%N; }

# Configures BUILD_DIR as a Release build of this tree and builds the receiver and the simulator.
build_current() {
  local build=$1
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCOMPACT_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target compact_csv compact_sim -j 2 >/dev/null
}

# Builds compact_csv of git revision REV (Release, the receiver only) from a temporary git
# worktree in DIR and sets previous_receiver to it. remove_previous_release undoes it.
build_previous_release() {
  local rev=$1 dir=$2
  previous_dir=$dir
  rm -rf "$dir"
  mkdir -p "$dir"
  git worktree add --quiet --detach "$dir/src" "$rev"
  cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCOMPACT_BUILD_TESTS=OFF -DCOMPACT_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir/build" --target compact_csv -j 2 >/dev/null
  previous_receiver=$(find "$dir/build" -type f -name compact_csv -perm -u+x | head -n 1)
  if [[ -z $previous_receiver ]]; then
    echo "no compact_csv built from $rev" >&2
    return 1
  fi
}

remove_previous_release() {
  if [[ -n ${previous_dir:-} && -d $previous_dir ]]; then
    git worktree remove --force "$previous_dir/src" 2>/dev/null || true
    rm -rf "$previous_dir"
    git worktree prune
  fi
}

# Ports in use by any UDP socket on this machine (IPv4 and IPv6), in decimal.
udp_ports_in_use() {
  local _ local_address _rest
  while read -r _ local_address _rest; do
    [[ $local_address == *:* ]] && echo $((16#${local_address##*:}))
  done < <(tail -q -n +2 /proc/net/udp /proc/net/udp6)
}

# A UDP port in 20000..59999 that no socket uses. The receiver shares ports (SO_REUSEPORT), so
# binding is no test: a port in use would split the datagrams between two receivers.
free_udp_port() {
  local used port
  used=$(udp_ports_in_use | sort -u)
  for _ in $(seq 1 1000); do
    port=$((20000 + RANDOM % 40000))
    if ! grep -qx "$port" <<<"$used"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free UDP port found" >&2
  return 1
}

# Waits up to 10 s until a socket is bound to PORT; false when none is.
wait_for_port() {
  local port=$1
  for _ in $(seq 1 100); do
    udp_ports_in_use | grep -qx "$port" && return 0
    sleep 0.1
  done
  return 1
}

# Datagrams the kernel dropped for the sockets bound to PORT (the last column of /proc/net/udp).
udp_drops() {
  local hex
  hex=$(printf '%04X' "$1")
  awk -v port=":$hex" 'NR > 1 && substr($2, length($2) - 4) == port { d += $NF }
                       END { print d + 0 }' /proc/net/udp
}

# User plus system CPU time of PID in clock ticks (fields 14 and 15 of /proc/PID/stat, counted
# after the command name, which may contain spaces).
cpu_ticks() {
  local stat
  stat=$(<"/proc/$1/stat")
  stat=${stat##*) }
  awk '{ print $12 + $13 }' <<<"$stat"
}

# Peak resident set size of PID in kB (VmHWM).
peak_rss_kb() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }

# Sends SIGINT to PID and waits up to 10 s for it to end, then kills it.
stop_process() {
  local pid=$1
  kill -INT "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    echo "process $pid did not stop on SIGINT; killed" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# Data rows of a CSV file written by the receiver (header lines not counted).
data_rows() { grep -cv '^sender_id' "$1" || true; }

# The last status line the receiver wrote to LOG (lines end with carriage returns).
last_status_line() { tr '\r' '\n' <"$1" | grep 'telegram/s' | tail -n 1; }

# The "N lost" count of the last status line in LOG, or "?" without one.
status_lost() {
  local line
  line=$(last_status_line "$1")
  if [[ $line =~ ([0-9]+)\ lost ]]; then echo "${BASH_REMATCH[1]}"; else echo "?"; fi
}

# The frames the simulator reports in its summary line in LOG.
simulator_frames() { grep -oE '^[0-9]+ frames' "$1" | tail -n 1 | awk '{ print $1 }'; }

# Telegrams the receiver's summary in LOG counts as missing: lost at the sensor or on the network
# plus dropped by this host; "?" without a summary (the previous release words it otherwise).
summary_lost() {
  local line
  line=$(grep -E '^Received [0-9]+ telegrams' "$1" | tail -n 1)
  if [[ $line =~ ([0-9]+)\ lost\ at\ the\ sensor.*\ ([0-9]+)\ dropped\ by\ this\ host ]]; then
    echo $((BASH_REMATCH[1] + BASH_REMATCH[2]))
  else
    echo "?"
  fi
}

# Frames of the simulator's default shape (one module per frame) sent to PORT in the capture
# CAPTURE, counted by converting it with RECEIVER and the narrow filter, which writes one row per
# frame; "?" when the conversion wrote no file.
capture_frames() {
  local receiver=$1 capture=$2 port=$3 csv=$2.frames.csv
  "$receiver" -r "$capture" --port "$port" --line 0 --beam 0:9 "$csv" >/dev/null 2>&1 || true
  if [[ -f $csv ]]; then data_rows "$csv"; else echo "?"; fi
  rm -f "$csv"
}
