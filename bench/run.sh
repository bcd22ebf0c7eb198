#!/usr/bin/env bash
# Runs the bridge and a plain relay (socat, TCP to TCP, in front of ftmd's H4 port) against
# the same simulated controller, alternating round by round, and prints one table: medians
# over the rounds, the bridge-to-relay ratio of each round, context switches and device-
# channel messages per unit of work, and each figure against the physical links.
#
#   bench/run.sh [--short] [--build DIR] [--rounds N] [--plot PNG] [--capture] [--btvirt]
#
# Without --build it configures and builds an optimised tree in build-bench. --short runs
# a few seconds only (for CI: it checks that the benchmark works, not how fast anything is).
# --plot draws the distribution of the raw command round trips of both paths (gnuplot).
# --capture adds runs of the bridge with a btsnoop capture (TARNEXIO_BTSNOOP) to the table.
# Each round also runs the bridge's raw commands with a metrics directory (TARNEXIO_METRICS_DIR).
# --btvirt adds command rounds with BlueZ's emulated controller (btvirt) behind ftmd on both
# paths; the whole run then has a /tmp of its own (a mount namespace), since btvirt's
# socket path is fixed.
# The micro-benchmarks run after the table (bin/tarnexio_microbench, when it was built).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

build="" short=0 rounds="" plot="" capture=0 btvirt=0
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --build) build=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    --plot) plot=$2; shift ;;
    --capture) capture=1 ;;
    --btvirt) btvirt=1 ;;
    *) echo "usage: $0 [--short] [--build DIR] [--rounds N] [--plot PNG] [--capture] [--btvirt]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$btvirt" = 1 ] && [ -z "${TARNEXIO_BENCH_PRIVATE_TMP:-}" ]; then
  command -v btvirt >/dev/null || { echo "bench: btvirt is not installed (bluez-test-tools)" >&2; exit 1; }
  export TARNEXIO_BENCH_PRIVATE_TMP=1
  exec unshare -m bash -c 'mount --make-rprivate / && mount -t tmpfs tarnexio-bench /tmp && exec "$@"' \
    bash "$0" "${args[@]}"
fi

if [ "$short" = 1 ]; then
  commands=300 acl_bytes=1000000 idle_seconds=1 rounds=${rounds:-1}
else
  commands=20000 acl_bytes=20000000 idle_seconds=10 rounds=${rounds:-3}
fi

if [ -z "$build" ]; then
  build="$top/build-bench"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DTARNEXIO_BENCH=ON >/dev/null
  cmake --build "$build" --target Tarnexio ftmd tarnexio_loadgen tarnexio_microbench >/dev/null
fi
bin="$build/bin"
for b in Tarnexio ftmd tarnexio_loadgen; do
  [ -x "$bin/$b" ] || { echo "bench: $bin/$b is missing" >&2; exit 1; }
done
command -v socat >/dev/null || { echo "bench: socat is not installed" >&2; exit 1; }
if [ -n "$plot" ] && ! command -v gnuplot >/dev/null; then
  echo "bench: gnuplot is not installed (no plot)" >&2
  plot=""
fi
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

work=$(mktemp -d /tmp/tarnexio-bench.XXXXXX)
cleanup() {
  # Only processes this script started and that still run (never a reused pid).
  for pid in $(jobs -p); do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Waits (at most 10 s) until file holds text.
wait_for() {
  for _ in $(seq 100); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "bench: no '$2' in $1" >&2
  return 1
}

# Waits (at most 10 s) for a started process to end, then makes sure it has.
finish() {
  for _ in $(seq 100); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

loadgen() { timeout 300 "$bin/tarnexio_loadgen" "$@"; }

"$bin/ftmd" --dir "$work/dev" --h4 0 >"$work/ftmd.log" 2>&1 &
ftmd_pid=$!
wait_for "$work/ftmd.log" "ftmd: serving"
h4=$(sed -n 's/.*H4 on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/ftmd.log")

results="$work/results"
: >"$results"
run=0 round=0

# Runs the load generator (mode, port, arguments) against the relay or bridge with the pid
# given first, and files its figures under label and round. The round trips go to the
# file in $samples when it is set.
measure() {
  local label=$1 pid=$2 mode=$3 port=$4; shift 4
  if ! loadgen "$mode" "$port" "$@" "$pid,$ftmd_pid" ${samples:+"$samples"} | sed "s/^/$label $round /" >>"$results"; then
    echo "bench: $label $mode $* failed in round $round" >&2
    return 1
  fi
}

# One run through the relay: label, then the load generator's mode and arguments.
baseline() {
  local label=$1 mode=$2 port; shift 2
  port=$(loadgen freeport)
  socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,nodelay" "TCP:127.0.0.1:$h4,nodelay" &
  local pid=$!
  measure "$label" "$pid" "$mode" "$port" "$@"
  finish "$pid"
}

# One run through the bridge: label, the bridge's mode, then the load generator's mode and
# arguments; the device directory is $devdir, and $bridge_env adds to its environment.
devdir="$work/dev"
bridge() {
  local label=$1 mode=$2 lmode=$3 port; shift 3
  port=$(loadgen freeport)
  run=$((run + 1))
  local console="$work/bridge-$run.log"
  env TARNEXIO_DEVICE_DIR="$devdir" ${bridge_env:-} "$bin/Tarnexio" -p "$port" -m "$mode" >"$console" 2>&1 &
  local pid=$!
  wait_for "$console" "Waiting for incoming Ethernet connections"
  measure "$label" "$pid" "$lmode" "$port" "$@"
  finish "$pid"
}

rm -f "$work/rtt-baseline.txt" "$work/rtt-bridge.txt"
for round in $(seq "$rounds"); do
  echo "bench: round $round of $rounds" >&2
  samples="$work/rtt-baseline.txt" baseline baseline raw-cmd "$commands"
  samples="$work/rtt-bridge.txt" bridge bridge raw raw-cmd "$commands"
  # The same with the metrics file (TARNEXIO_METRICS_DIR), which costs the packets nothing.
  mkdir -p "$work/metrics"
  bridge_env="TARNEXIO_METRICS_DIR=$work/metrics" bridge metrics raw raw-cmd "$commands"
  if [ "$capture" = 1 ]; then
    bridge_env="TARNEXIO_BTSNOOP=$work/capture.btsnoop" bridge capture raw raw-cmd "$commands"
    rm -f "$work/capture.btsnoop"
  fi
  bridge diag diag diag-cmd "$commands"
  for window in 1 8; do
    baseline baseline acl "$acl_bytes" "$window"
    bridge bridge raw acl "$acl_bytes" "$window"
  done
done
round=1
baseline baseline idle "$idle_seconds"
bridge bridge raw idle "$idle_seconds"

# The wait between two test hosts under a loop that starts the bridge again after each one,
# as the launcher does: from one host's close to the next one's first answer.
restart_hosts=$([ "$short" = 1 ] && echo 5 || echo 30)
port=$(loadgen freeport)
(
  for _ in $(seq "$restart_hosts"); do
    env TARNEXIO_DEVICE_DIR="$devdir" "$bin/Tarnexio" -p "$port" -m raw >>"$work/restart.log" 2>&1 &
    echo $! >"$work/restart.pid"
    wait $! || break
  done
) &
loop_pid=$!
if ! loadgen restart "$port" "$restart_hosts" | sed "s/^/bridge 1 /" >>"$results"; then
  echo "bench: the restart loop failed" >&2
  kill "$(cat "$work/restart.pid")" 2>/dev/null || true
fi
finish "$loop_pid"

if [ "$btvirt" = 1 ]; then
  # One emulated controller behind one ftmd, taken in turn by the relay (ftmd's H4 port)
  # and the bridge; each run waits until ftmd has seen the one before let go of it (its
  # counts line).
  btvirt -s >"$work/btvirt.log" 2>&1 &
  for _ in $(seq 100); do [ -S /tmp/bt-server-bredr ] && break; sleep 0.1; done
  "$bin/ftmd" --dir "$work/devb" --h4 0 --controller unix:/tmp/bt-server-bredr >"$work/ftmdb.log" 2>&1 &
  ftmd_pid=$!
  wait_for "$work/ftmdb.log" "ftmd: serving"
  h4=$(sed -n 's/.*H4 on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/ftmdb.log")
  devdir="$work/devb" ended=0
  let_go() {
    ended=$((ended + 1))
    for _ in $(seq 100); do
      [ "$(grep -cE '^ftmd: (H4 client|conn [0-9]+): ' "$work/ftmdb.log")" -ge "$ended" ] && return 0
      sleep 0.1
    done
  }
  for round in $(seq "$rounds"); do
    echo "bench: btvirt round $round of $rounds" >&2
    baseline vbaseline raw-cmd "$commands" && let_go
    bridge vbridge raw raw-cmd "$commands" && let_go
  done
  round=1
  devdir="$work/dev"
fi

# Device-channel messages per unit of work: a second ftmd logs one line per message (-v);
# two runs of different length through the bridge, so that the start and end of a run
# cancel out.
"$bin/ftmd" -v --dir "$work/devv" >"$work/ftmdv.log" 2>&1 &
ftmd_pid=$!
wait_for "$work/ftmdv.log" "ftmd: serving"
devdir="$work/devv"
closed=0 logged=0
# The messages of one bridge run (bridge mode, load generator's mode and arguments),
# counted once its connection has closed.
messages_of() {
  bridge count "$@"
  closed=$((closed + 1))
  for _ in $(seq 100); do
    [ "$(grep -c 'closed with' "$work/ftmdv.log")" -ge "$closed" ] && break
    sleep 0.1
  done
  local total
  total=$(grep -cE ': (IOCTL|CANCEL|COMPLETE|PENDING) id ' "$work/ftmdv.log")
  messages=$((total - logged))
  logged=$total
}
# Per unit: (messages of 2000 units - messages of 1000 units) / 1000. A command run has a
# warm-up of a tenth of its commands (at most 100), so 1000 and 2000 differ by 1000 too.
per_unit() {
  local key=$1 bmode=$2 mode=$3 short_args=$4 long_args=$5 first
  messages_of "$bmode" "$mode" $short_args
  first=$messages
  messages_of "$bmode" "$mode" $long_args
  echo "bridge 1 $key $(awk -v a="$first" -v b="$messages" 'BEGIN { printf "%.2f", (b - a) / 1000 }')" >>"$results"
}
per_unit devchan_per_cmd raw raw-cmd 1000 2000
per_unit devchan_per_diag_cmd diag diag-cmd 1000 2000
per_unit devchan_per_packet raw acl "$((1000 * 1021)) 1" "$((2000 * 1021)) 1"
per_unit devchan_per_packet_w8 raw acl "$((1000 * 1021)) 8" "$((2000 * 1021)) 8"

echo "Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1);" \
  "load average $load_before before, $(cut -d' ' -f1-3 /proc/loadavg) after"
echo "Commands per run: $commands; ACL bytes per run: $acl_bytes; idle: ${idle_seconds} s; rounds: $rounds (medians)"
echo
"$bin/tarnexio_loadgen" report "$results"

if [ -n "$plot" ]; then
  cdf() { sort -g "$1" | awk '{ v[NR] = $1 } END { for (i = 1; i <= NR; i++) print v[i], i / NR }'; }
  cdf "$work/rtt-baseline.txt" >"$work/cdf-baseline.txt"
  cdf "$work/rtt-bridge.txt" >"$work/cdf-bridge.txt"
  gnuplot <<PLOT
set terminal pngcairo size 800,480 font ",10"
set output "$plot"
set title "Raw command round trip ($commands commands x $rounds rounds, load $load_before)"
set xlabel "round trip (us, log scale)"
set ylabel "fraction of commands"
set logscale x
set grid
set key bottom right
set yrange [0:1]
plot "$work/cdf-baseline.txt" using 1:2 with lines lw 2 title "socat relay", \
     "$work/cdf-bridge.txt" using 1:2 with lines lw 2 title "bridge"
PLOT
  echo
  echo "Plot: $plot"
fi

if [ -x "$bin/tarnexio_microbench" ]; then
  echo
  if [ "$short" = 1 ]; then
    "$bin/tarnexio_microbench" --benchmark_min_time=0.01 2>&1
  else
    "$bin/tarnexio_microbench" 2>&1
  fi
fi
