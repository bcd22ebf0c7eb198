#!/usr/bin/env bash
# Runs the installed programs of one installation end to end: each one's --version, then
# the installed ftmd, the installed bridge and the installed tarnexio-host together, in a
# device directory and on a port of their own. Leaves nothing behind.
#
#   installed-run.sh BIN SBIN VERSION
# BIN holds Tarnexio and tarnexio-host, SBIN holds ftmd; VERSION is what each must report.
set -uo pipefail
bin=$1 sbin=$2 want=$3
# shellcheck source=run-support.sh
. "$(dirname "$0")/run-support.sh" installed
fail() { echo "FAIL: $*"; exit 1; }

for prog in "$bin/Tarnexio" "$sbin/ftmd" "$bin/tarnexio-host"; do
  [ -x "$prog" ] || fail "$prog is not installed"
  line=$(timeout 10 "$prog" --version | head -1)
  [ "$line" = "$(basename "$prog") $want" ] || fail "$prog --version says '$line', not '$(basename "$prog") $want'"
  echo "ok   $prog --version: $line"
done

# The installed driver with its simulated controller, type 1.
"$sbin/ftmd" --dir "$work/dev" >"$work/ftmd.out" 2>&1 &
ftmd=$!
pids+=("$ftmd")
wait_for_line "$work/ftmd.out" 10 '^ftmd: serving' || { cat "$work/ftmd.out"; fail "ftmd did not get ready"; }
grep -q "^ftmd: starting, version $want," "$work/ftmd.out" || fail "ftmd's starting line does not name $want"

# The installed bridge on a free port: a port another program took makes it end at once
# with 1, and another is tried.
for attempt in 1 2 3 4 5 6 7 8; do
  port=$(free_port)
  TARNEXIO_DEVICE_DIR="$work/dev" "$bin/Tarnexio" -p "$port" -m raw >"$work/bridge.out" 2>&1 &
  bridge=$!
  deadline=$((SECONDS + 10))
  until grep -q 'Waiting for incoming' "$work/bridge.out" || ! kill -0 "$bridge" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || break
    sleep 0.05
  done
  grep -q 'Waiting for incoming' "$work/bridge.out" && break
  kill -TERM "$bridge" 2>/dev/null
  wait "$bridge" 2>/dev/null
  bridge=
done
[ -n "${bridge:-}" ] || { cat "$work/bridge.out"; fail "the bridge did not start listening"; }
pids+=("$bridge")

timeout 30 "$bin/tarnexio-host" "127.0.0.1:$port" reset bdaddr version >"$work/host.out" 2>&1
code=$?
cat "$work/host.out"
[ "$code" -eq 0 ] || fail "tarnexio-host exited with $code"
grep -q 'Command Complete HCI_Read_BD_ADDR.*Success' "$work/host.out" || fail "no BD_ADDR came back"

# The bridge ends by itself once its test host is gone.
deadline=$((SECONDS + 15))
while kill -0 "$bridge" 2>/dev/null && [ "$SECONDS" -lt "$deadline" ]; do sleep 0.05; done
wait "$bridge"
code=$?
[ "$code" -eq 0 ] || { cat "$work/bridge.out"; fail "the bridge exited with $code"; }
[ "$(head -1 "$work/bridge.out")" = "BTFTM : Tarnexio version $want" ] || fail "the bridge's first line does not name $want"
grep -q "^BTFTM : Run summary: commands 3, .*; Tarnexio version $want\$" "$work/bridge.out" ||
  { cat "$work/bridge.out"; fail "no run summary naming $want"; }

kill -TERM "$ftmd"
wait "$ftmd"
code=$?
[ "$code" -eq 0 ] || fail "ftmd exited with $code on SIGTERM"
[ -z "$(ls -A "$work/dev")" ] || fail "ftmd left $(ls -A "$work/dev") behind"
pids=()
echo "ok   installed ftmd, bridge and tarnexio-host end to end ($want)"
