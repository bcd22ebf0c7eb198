#!/usr/bin/env bash
# The bench launcher: ftmd, then the bridge again after each test host, until stopped.
# See usage() below, or run it with --help.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
me="start.sh"

usage() {
  cat <<EOF
Usage: $me [OPTION...] [-- FTMD-OPTION...]

Builds the bridge (Tarnexio), ftmd and tarnexio-host (no test framework needed), starts
ftmd, with the options after --, then serves test hosts with the bridge, one per run of the
bridge, starting it again after each one. ftmd's lines appear as they come, beside the
bridge's. Ctrl+C, SIGTERM or SIGHUP stops the bridge through its stop sequence (run
summary and clean-up lines), then ftmd; nothing started here is left behind.

Options, each one in place of the setting of the environment named after it:
  -p, --port PORT          TCP port test hosts connect to (1-65535, default 2390)
                           [TARNEXIO_PORT]
  -m, --mode MODE          raw or diag, in any case (default raw) [TARNEXIO_MODE]
  --listen ADDRESS         the address the bridge listens on, IPv4 or IPv6 (default every
                           address) [TARNEXIO_LISTEN]
  --allow PREFIX[,PREFIX...]  the test hosts served, as CIDR prefixes (default every one)
                           [TARNEXIO_ALLOW]
  --idle-timeout SECONDS   end a run whose test host stays silent that long
                           [TARNEXIO_IDLE_TIMEOUT]
  --capture FILE|DIR       the bridge's capture file, or a directory for one file per run;
  --capture-dir DIR        .pcap and .pcapng choose those formats, else btsnoop; a FIFO is
                           written live once a reader opens it [TARNEXIO_CAPTURE, or its
                           older name TARNEXIO_BTSNOOP; TARNEXIO_CAPTURE wins when both are set]
  --capture-keep N         capture files kept in that directory, the oldest removed first
                           [TARNEXIO_CAPTURE_KEEP]
  --metrics-dir DIR        metrics files of the bridge and of ftmd (ftmd --metrics-dir)
                           [TARNEXIO_METRICS_DIR]
  --device-dir DIR         the device directory both programs use (default: a private one,
                           removed at the end) [TARNEXIO_DEVICE_DIR]
  --build-dir DIR          a tree already built: nothing is built, its bin/ is used
                           (default: $top/build-run, configured and built here)
                           [TARNEXIO_BUILD_DIR]
  -h, --help               show this text

ftmd's options (see ftmd --help) follow --, for example:
  $me -p 2399 -- --type 2             a type 2 driver device
  $me -- --controller unix:/tmp/bt-server-bredr   a real or emulated controller

Exit status: 0 after a stop by signal; 2 for a wrong option or setting; the bridge's exit
code when a run ends with an error (nothing served: the port taken, the driver gone);
ftmd's when it cannot start; 1 when the build fails.
EOF
}

say() { echo "$me: $*"; }

# The launcher's own options, each one a setting of the environment; ftmd's after --.
while [ $# -gt 0 ]; do
  option=$1
  case "$option" in
    -h | --help) usage; exit 0 ;;
    --) shift; break ;;
    -p | --port) setting=TARNEXIO_PORT ;;
    -m | --mode) setting=TARNEXIO_MODE ;;
    --listen) setting=TARNEXIO_LISTEN ;;
    --allow) setting=TARNEXIO_ALLOW ;;
    --idle-timeout) setting=TARNEXIO_IDLE_TIMEOUT ;;
    --capture | --capture-dir) setting=TARNEXIO_CAPTURE ;;
    --capture-keep) setting=TARNEXIO_CAPTURE_KEEP ;;
    --metrics-dir) setting=TARNEXIO_METRICS_DIR ;;
    --device-dir) setting=TARNEXIO_DEVICE_DIR ;;
    --build-dir) setting=TARNEXIO_BUILD_DIR ;;
    -*)
      say "unknown option '$option'; ftmd's options go after --, as in: $me -- $option (see $me --help)" >&2
      exit 2 ;;
    *)
      say "unexpected argument '$option'; ftmd's options go after -- (see $me --help)" >&2
      exit 2 ;;
  esac
  if [ $# -lt 2 ]; then
    say "$option takes a value (see $me --help)" >&2
    exit 2
  fi
  export "$setting=$2"
  eval "${setting}_FROM=\$option"
  shift 2
done

# The settings, checked before anything starts.
port="${TARNEXIO_PORT:-2390}"
if ! [[ "$port" =~ ^[0-9]{1,5}$ ]] || [ "$((10#$port))" -lt 1 ] || [ "$((10#$port))" -gt 65535 ]; then
  say "${TARNEXIO_PORT_FROM:-TARNEXIO_PORT} must be a TCP port number from 1 to 65535, not '$port'" >&2
  exit 2
fi
port=$((10#$port))
mode=$(printf '%s' "${TARNEXIO_MODE:-raw}" | tr '[:upper:]' '[:lower:]')
if [ "$mode" != raw ] && [ "$mode" != diag ]; then
  say "${TARNEXIO_MODE_FROM:-TARNEXIO_MODE} must be raw or diag, not '${TARNEXIO_MODE}'" >&2
  exit 2
fi

if [ -n "${TARNEXIO_BUILD_DIR:-}" ]; then
  bin="$TARNEXIO_BUILD_DIR/bin"
else
  build="$top/build-run"
  generator=()
  if [ ! -f "$build/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
  if ! cmake -S "$top" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null ||
    ! cmake --build "$build" --target Tarnexio ftmd tarnexio-host; then
    say "the build failed" >&2
    exit 1
  fi
  bin="$build/bin"
fi
for program in Tarnexio ftmd; do
  if [ ! -x "$bin/$program" ]; then
    say "$bin/$program is missing: build it, or unset TARNEXIO_BUILD_DIR" >&2
    exit 2
  fi
done

# ftmd writes its metrics beside the bridge's, when it knows how.
ftmd_args=("$@")
if [ -n "${TARNEXIO_METRICS_DIR:-}" ]; then
  if "$bin/ftmd" --help 2>/dev/null | grep -q -- '--metrics-dir'; then
    ftmd_args=(--metrics-dir "$TARNEXIO_METRICS_DIR" "$@")
  else
    say "this ftmd has no --metrics-dir: only the bridge writes metrics to $TARNEXIO_METRICS_DIR" >&2
  fi
fi

# Everything this run creates lives in one private directory, removed at the end, and in
# the device directory when this run made it.
run_dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnexio-start.XXXXXX") || exit 1
made_dir=
if [ -z "${TARNEXIO_DEVICE_DIR:-}" ]; then
  TARNEXIO_DEVICE_DIR="$run_dir/devices"
elif [ ! -e "$TARNEXIO_DEVICE_DIR" ]; then
  made_dir=1
fi
export TARNEXIO_DEVICE_DIR

ftmd_pid=
ftmd_out=
bridge_pid=
stopping=
interrupted=
code=0

finish() {
  trap '' INT TERM HUP
  if [ -n "$bridge_pid" ] && kill -0 "$bridge_pid" 2>/dev/null; then
    kill -INT "$bridge_pid" 2>/dev/null
    wait "$bridge_pid" 2>/dev/null
  fi
  if [ -n "$ftmd_pid" ]; then
    kill -TERM "$ftmd_pid" 2>/dev/null
    # ftmd ends within a moment of SIGTERM; one that does not is ended for good.
    for _ in $(seq 100); do kill -0 "$ftmd_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$ftmd_pid" 2>/dev/null
    wait "$ftmd_pid" 2>/dev/null
  fi
  # ftmd's lines until its end: the relay that shows them ends with them; before the relay
  # began (a stop or a failure during ftmd's start-up), the rest are shown here.
  if [ -n "${relay_pid:-}" ]; then
    wait "$relay_pid" 2>/dev/null
  elif [ -n "$ftmd_out" ]; then
    cat <&3
  fi
  exec 3<&- 2>/dev/null
  rm -rf "$run_dir"
  if [ -n "$made_dir" ]; then rmdir "$TARNEXIO_DEVICE_DIR" 2>/dev/null; fi
  exit "$code"
}

# A stop request: the bridge, if one runs, gets its Ctrl+C (once) and ends through its
# stop sequence; the loop below then stops ftmd.
stop() {
  interrupted=1
  [ -n "$stopping" ] && return
  stopping=1
  if [ -n "$bridge_pid" ]; then kill -INT "$bridge_pid" 2>/dev/null; int_sent=1; fi
}
trap stop INT TERM HUP

# ftmd runs in a session of its own, so that a terminal's Ctrl+C reaches this script
# alone: the bridge is stopped first and ftmd after it. Its lines come through a FIFO
# that this script reads, first up to the ready line, then as they come.
mkfifo "$run_dir/ftmd.out" || { code=1; finish; }
setsid "$bin/ftmd" "${ftmd_args[@]}" >"$run_dir/ftmd.out" 2>&1 &
ftmd_pid=$!
exec 3<"$run_dir/ftmd.out"
ftmd_out=1
rm -f "$run_dir/ftmd.out"
# A read is not cut short by a signal: short reads let a stop during the start-up act at
# once. A read that times out keeps what it took of a line, which the next one continues.
ready=
line=
give_up=$((SECONDS + 10))
while :; do
  IFS= read -r -t 0.2 more <&3
  read_status=$?
  line+=$more
  if [ "$read_status" -gt 128 ]; then
    { [ -n "$stopping" ] || [ "$SECONDS" -gt "$give_up" ]; } && break
    continue
  fi
  [ "$read_status" -ne 0 ] && break
  echo "$line"
  case "$line" in "ftmd: serving "*) ready=1; break ;; esac
  line=
done
if [ -z "$ready" ]; then
  # A line cut short by the end of ftmd's output, the time limit or a stop, as far as it came.
  [ -n "$line" ] && printf '%s\n' "$line"
  [ -n "$stopping" ] && finish
  if [ "$read_status" -gt 128 ]; then
    say "ftmd did not say it was serving within 10 s" >&2
    code=1
  else
    # The end of its output: ftmd has ended.
    wait "$ftmd_pid"
    code=$?
    ftmd_pid=
    [ "$code" -eq 0 ] && code=1
  fi
  finish
fi
cat <&3 &
relay_pid=$!

# A program started in the background here would begin with SIGINT ignored; the bridge
# must take it from its first instant.
default_int=()
env --default-signal=INT true 2>/dev/null && default_int=(env --default-signal=INT)

# Waits for the bridge to end and sets bridge_status. A wait cut short by a signal is
# resumed; once a stop is asked for, a bridge still running after 20 s is killed.
wait_bridge() {
  local status
  while :; do
    interrupted=
    wait "$bridge_pid"
    status=$?
    [ "$status" -ne 127 ] && bridge_status=$status
    [ -z "$interrupted" ] && return
    [ -n "$stopping" ] && break
  done
  for _ in $(seq 200); do kill -0 "$bridge_pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$bridge_pid" 2>/dev/null; then
    say "the bridge did not stop within 20 s: killed" >&2
    kill -KILL "$bridge_pid" 2>/dev/null
  fi
  wait "$bridge_pid" 2>/dev/null
}

say "serving test hosts on port $port ($mode mode), one per run of the bridge; Ctrl+C stops"
while [ -z "$stopping" ]; do
  "${default_int[@]}" setsid "$bin/Tarnexio" -p "$port" -m "$mode" 3<&- &
  int_sent=
  bridge_status=1  # unless its own status is had
  bridge_pid=$!
  [ -n "$stopping" ] && [ -z "$int_sent" ] && kill -INT "$bridge_pid" 2>/dev/null
  wait_bridge
  bridge_pid=
  [ -n "$stopping" ] && break
  if ! kill -0 "$ftmd_pid" 2>/dev/null; then
    say "ftmd has ended; stopping" >&2
    code=${bridge_status:-1}
    [ "$code" -eq 0 ] && code=1
    break
  fi
  if [ "$bridge_status" -ne 0 ]; then
    say "the bridge ended with exit code $bridge_status; stopping" >&2
    code=$bridge_status
    break
  fi
  say "the test host is gone; starting the bridge again for the next one"
done
finish
