#!/usr/bin/env bash
# The bench units of one installation, run as systemd runs them, where no systemd does:
# two benches, each an ftmd@NAME and a tarnexio@NAME, every program started by its unit's
# ExecStart line expanded as systemd expands it, with the environment the unit gives it
# (its Environment= lines, then NAME.conf: a copy of the installed example.conf with a port,
# a device directory and a BD_ADDR of its own). Each ftmd says READY=1 on its notify socket
# once it serves; each bridge serves a test host of its own bench; a bridge stopped while
# it waits, and each ftmd, end with their unit's KillSignal and an exit code that their unit
# counts as a normal end (SuccessExitStatus=).
#
#   check-units.sh ROOT
# ROOT holds the installation at its real paths (ROOT/usr/sbin/ftmd for /usr/sbin/ftmd).
set -uo pipefail
root=$(realpath "$1")
# shellcheck source=run-support.sh
. "$(dirname "$0")/run-support.sh" units
trap 'cleanup; [ -z "${conf_dir:-}" ] || rm -f "$conf_dir"/check-[ab].conf' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

unit_dir=$(dirname "$(find "$root" -name 'ftmd@.service' -print -quit)")
example=$(find "$root" -path '*/tarnexio/example.conf' -print -quit)
[ -f "$unit_dir/ftmd@.service" ] && [ -f "$unit_dir/tarnexio@.service" ] || { echo "FAIL: no bench units in $root"; exit 1; }
[ -f "$example" ] || { echo "FAIL: no example.conf in $root"; exit 1; }

# A value of the unit $1 (the last one given for key $2), with %i as bench $3.
unit_value() { sed -n "s/^$2=//p" "$unit_dir/$1" | tail -1 | sed "s/%i/$3/g"; }

# The command line of unit $1 for bench $2 into the array argv, and its environment into
# the array environ: ${VAR} is one word (empty when VAR is), $VAR is split at spaces.
expand_unit() {
  local unit=$1 bench=$2 word name
  declare -gA env_of=()
  local assignment line
  while read -r line; do
    for assignment in $line; do env_of[${assignment%%=*}]=${assignment#*=}; done
  done < <(sed -n 's/^Environment=//p' "$unit_dir/$unit" | sed "s/%i/$bench/g")
  local file
  file=$root$(unit_value "$unit" EnvironmentFile "$bench")
  [ -f "$file" ] || { fail "$unit: no $file"; return 1; }
  while IFS= read -r line; do
    [[ "$line" =~ ^[A-Za-z_][A-Za-z0-9_]*= ]] && env_of[${line%%=*}]=${line#*=}
  done <"$file"
  argv=()
  for word in $(unit_value "$unit" ExecStart "$bench"); do
    if [[ "$word" =~ ^\$\{([A-Za-z_][A-Za-z0-9_]*)\}$ ]]; then
      argv+=("${env_of[${BASH_REMATCH[1]}]:-}")
    elif [[ "$word" =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
      name=${BASH_REMATCH[1]}
      # shellcheck disable=SC2206
      argv+=(${env_of[$name]:-})
    else
      argv+=("$word")
    fi
  done
  [ -x "$root${argv[0]}" ] || { fail "$unit: ExecStart ${argv[0]} is not in the installation"; return 1; }
  argv[0]=$root${argv[0]}
  environ=(PATH=/usr/bin:/bin)
  for name in "${!env_of[@]}"; do environ+=("$name=${env_of[$name]}"); done
}

# Exit code $2 is a normal end of unit $1: 0, or one its SuccessExitStatus= names.
normal_end() { [ "$2" -eq 0 ] || [[ " $(unit_value "$1" SuccessExitStatus x) " == *" $2 "* ]]; }
# The signal unit $1 stops its program with.
stop_signal() { local s; s=$(unit_value "$1" KillSignal x); echo "${s:-SIGTERM}"; }

# Starts bench $1's bridge as its unit does. A port another program took meanwhile (the
# bridge says so and ends) is replaced in the bench file by a new one, at most three times;
# whether it then listens is for the caller to see.
start_bridge() {
  local bench=$1 attempt
  for attempt in 1 2 3; do
    expand_unit "tarnexio@.service" "check-$bench" || return 1
    env -i "${environ[@]}" "${argv[@]}" >"$work/bridge-$bench.out" 2>&1 &
    bridge_pid[$bench]=$!
    pids+=($!)
    wait_for_line "$work/bridge-$bench.out" 10 'Waiting for incoming\|Address already in use' || return 0
    grep -q 'Address already in use' "$work/bridge-$bench.out" || return 0
    wait "${bridge_pid[$bench]}"
    port[$bench]=$(free_port)
    sed -i "s/^TARNEXIO_PORT=.*/TARNEXIO_PORT=${port[$bench]}/" "$conf_dir/check-$bench.conf"
    echo "note: bench $bench's port was taken meanwhile (attempt $attempt); it tries ${port[$bench]}"
  done
}

conf_dir=$(dirname "$example")
declare -A port ftmd_pid bridge_pid
for bench in a b; do
  port[$bench]=$(free_port)
  { cat "$example"
    echo "TARNEXIO_DEVICE_DIR=$work/dev-$bench"
    echo "TARNEXIO_PORT=${port[$bench]}"
    echo "FTMD_OPTIONS=--bdaddr 00:AA:00:00:00:0${bench^^}"
  } >"$conf_dir/check-$bench.conf"
  expand_unit "ftmd@.service" "check-$bench" || continue
  # This ftmd may lack --metrics-dir (another change brings it): then the option is left
  # out here, and said so.
  if ! "${argv[0]}" --help 2>/dev/null | grep -q -- '--metrics-dir'; then
    echo "note: this ftmd has no --metrics-dir yet: left out of its ExecStart here"
    kept=()
    for ((i = 0; i < ${#argv[@]}; i++)); do [ "${argv[$i]}" = --metrics-dir ] && i=$((i + 1)) || kept+=("${argv[$i]}"); done
    argv=("${kept[@]}")
  fi
  socat -u "UNIX-RECV:$work/notify-$bench" "OPEN:$work/notify-$bench.out,creat,append" &
  pids+=($!)
  for _ in $(seq 100); do [ -S "$work/notify-$bench" ] && break; sleep 0.05; done
  env -i "${environ[@]}" NOTIFY_SOCKET="$work/notify-$bench" "${argv[@]}" >"$work/ftmd-$bench.out" 2>&1 &
  ftmd_pid[$bench]=$!
  pids+=($!)
done
for bench in a b; do
  [ -n "${ftmd_pid[$bench]:-}" ] || continue
  if wait_for_line "$work/notify-$bench.out" 10 '^READY=1'; then
    ok "ftmd@check-$bench: READY=1 ($(head -1 "$work/ftmd-$bench.out"))"
  else
    fail "ftmd@check-$bench said no READY=1:"; cat "$work/ftmd-$bench.out"; continue
  fi
  start_bridge "$bench" || continue
done

host=$(dirname "${argv[0]}")/tarnexio-host  # beside the bridge
for bench in a b; do
  [ -n "${bridge_pid[$bench]:-}" ] || continue
  wait_for_line "$work/bridge-$bench.out" 10 'Waiting for incoming' || { fail "tarnexio@check-$bench did not listen:"; cat "$work/bridge-$bench.out"; continue; }
  said=$(timeout 20 "$host" "127.0.0.1:${port[$bench]}" bdaddr 2>&1)
  [[ "$said" == *"BD_ADDR 00:AA:00:00:00:0${bench^^}"* ]] && ok "tarnexio@check-$bench on port ${port[$bench]} serves its own bench" ||
    { fail "a host of bench $bench: $said"; kill -INT "${bridge_pid[$bench]}"; }
  timeout 20 tail --pid="${bridge_pid[$bench]}" -f /dev/null
  wait "${bridge_pid[$bench]}"
  code=$?
  normal_end tarnexio@.service "$code" && ok "tarnexio@check-$bench ends with $code after its host" || fail "tarnexio@check-$bench ended with $code after its host"
  # Started again, as Restart=always does, and stopped while it waits for a host.
  start_bridge "$bench" || continue
  wait_for_line "$work/bridge-$bench.out" 10 'Waiting for incoming' || { fail "tarnexio@check-$bench did not start again:"; cat "$work/bridge-$bench.out"; continue; }
  kill -s "$(stop_signal tarnexio@.service)" "${bridge_pid[$bench]}"
  timeout 20 tail --pid="${bridge_pid[$bench]}" -f /dev/null
  wait "${bridge_pid[$bench]}"
  code=$?
  normal_end tarnexio@.service "$code" && ok "tarnexio@check-$bench stopped while waiting: $code, a normal end" ||
    fail "tarnexio@check-$bench stopped while waiting ended with $code, which leaves its unit failed"
done
for bench in a b; do
  [ -n "${ftmd_pid[$bench]:-}" ] || continue
  kill -s "$(stop_signal ftmd@.service)" "${ftmd_pid[$bench]}"
  timeout 20 tail --pid="${ftmd_pid[$bench]}" -f /dev/null
  wait "${ftmd_pid[$bench]}"
  code=$?
  normal_end ftmd@.service "$code" && ok "ftmd@check-$bench stopped: $code" || fail "ftmd@check-$bench stopped with $code"
  wait_for_line "$work/notify-$bench.out" 5 'STOPPING=1' || fail "ftmd@check-$bench said no STOPPING=1"
done
echo "bench units: $failures failure(s)"
[ "$failures" -eq 0 ]
