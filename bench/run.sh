#!/usr/bin/env bash
# Runs the bridge and a plain relay (socat, TCP to TCP, in front of ftmd's H4 port) against
# the same simulated controller, alternating round by round, and prints one table.
#
#   bench/run.sh [--short] [--build DIR] [--rounds N]
#
# Without --build it configures and builds an optimised tree in build-bench. --short runs
# a few seconds only (for CI: it checks that the benchmark works, not how fast anything is).
# The micro-benchmarks run after the table (bin/tarnexio_microbench, when it was built).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

build="" short=0 rounds=""
while [ $# -gt 0 ]; do
  case "$1" in
    --short) short=1 ;;
    --build) build=$2; shift ;;
    --rounds) rounds=$2; shift ;;
    *) echo "usage: $0 [--short] [--build DIR] [--rounds N]" >&2; exit 2 ;;
  esac
  shift
done

if [ "$short" = 1 ]; then
  commands=300 acl_bytes=1000000 idle_seconds=1 rounds=${rounds:-1}
else
  commands=20000 acl_bytes=20000000 idle_seconds=10 rounds=${rounds:-3}
fi

if [ -z "$build" ]; then
  build="$top/build-bench"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" --target Tarnexio ftmd tarnexio_loadgen tarnexio_microbench >/dev/null
fi
bin="$build/bin"
for b in Tarnexio ftmd tarnexio_loadgen; do
  [ -x "$bin/$b" ] || { echo "bench: $bin/$b is missing" >&2; exit 1; }
done
command -v socat >/dev/null || { echo "bench: socat is not installed" >&2; exit 1; }

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
wait_for "$work/ftmd.log" "ftmd: serving"
h4=$(sed -n 's/.*H4 on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/ftmd.log")

results="$work/results"
: >"$results"
run=0

# One run through the relay: label, then the load generator's mode and arguments (the
# relay's pid is added at the end).
baseline() {
  local label=$1 port; shift
  port=$(loadgen freeport)
  socat "TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr,nodelay" "TCP:127.0.0.1:$h4,nodelay" &
  local pid=$!
  loadgen "$1" "$port" "${@:2}" "$pid" | sed "s/^/$label /" >>"$results"
  finish "$pid"
}

# One run through the bridge, in the mode given; its console goes to a file.
bridge() {
  local label=$1 mode=$2 port; shift 2
  port=$(loadgen freeport)
  run=$((run + 1))
  local console="$work/bridge-$run.log"
  TARNEXIO_DEVICE_DIR="$work/dev" "$bin/Tarnexio" -p "$port" -m "$mode" >"$console" 2>&1 &
  local pid=$!
  wait_for "$console" "Waiting for incoming Ethernet connections"
  loadgen "$1" "$port" "${@:2}" "$pid" | sed "s/^/$label /" >>"$results"
  finish "$pid"
}

for round in $(seq "$rounds"); do
  echo "bench: round $round of $rounds" >&2
  baseline baseline raw-cmd "$commands"
  bridge bridge raw raw-cmd "$commands"
  bridge diag diag diag-cmd "$commands"
  baseline baseline acl "$acl_bytes" 8
  bridge bridge raw acl "$acl_bytes" 8
done
baseline baseline idle "$idle_seconds"
bridge bridge raw idle "$idle_seconds"

echo "Commands per run: $commands; ACL bytes per run: $acl_bytes; idle: ${idle_seconds} s; rounds: $rounds (medians)"
echo
"$bin/tarnexio_loadgen" report "$results"

if [ -x "$bin/tarnexio_microbench" ]; then
  echo
  if [ "$short" = 1 ]; then
    "$bin/tarnexio_microbench" --benchmark_min_time=0.01 2>&1
  else
    "$bin/tarnexio_microbench" 2>&1
  fi
fi
