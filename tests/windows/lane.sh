#!/usr/bin/env bash
# The Windows lane: Tarnexio.exe under Wine against a real kernel-mode test driver.
#
#   bash tests/windows/lane.sh [OUTDIR]
#
# Builds Tarnexio.exe, tarnexio-host.exe, the test driver, the relay and the service installer with mingw-w64,
# and ftmd plus the end-to-end tests natively; prepares a fresh Wine prefix; installs and
# starts the driver as a kernel service (the service installer then keeps the Wine session,
# and so the driver host, alive); checks the driver against a scripted device server; then
# runs the end-to-end tests of tests/e2e with the bridge being Tarnexio.exe under Wine and
# ftmd reached through the driver and the relay.
#
# TARNEXIO_EXE, TARNEXIO_HOST_EXE and FTMD may name binaries already built; otherwise they are
# built in OUTDIR (tarnexio-host.exe is looked for beside TARNEXIO_EXE first). TARNEXIO_MSI may
# name the MSI; otherwise target msi is built in the build tree of TARNEXIO_EXE.
# Everything is bounded by timeouts; the prefix and every Wine process go at the end.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
out=$(mkdir -p "${1:-$top/build-winlane}" && cd "${1:-$top/build-winlane}" && pwd)
wine=/usr/lib/wine/wine64
cc=x86_64-w64-mingw32-gcc-posix
ddk=/usr/share/mingw-w64/include/ddk
win=$out/win
mkdir -p "$win"

step() { echo "== $*"; }
fail() { echo "FAIL $*"; exit 1; }

step "building"
if [ -z "${FTMD:-}" ]; then
  cmake -S "$top" -B "$out/native" -G Ninja >/dev/null && timeout 1200 cmake --build "$out/native" --target ftmd >/dev/null ||
    fail "ftmd build"
  FTMD=$out/native/bin/ftmd
fi
if [ -z "${TARNEXIO_EXE:-}" ]; then
  cmake -S "$top" -B "$out/mingw" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARNEXIO_WERROR=ON >/dev/null &&
    timeout 1200 cmake --build "$out/mingw" --target Tarnexio >/dev/null || fail "Tarnexio.exe build"
  TARNEXIO_EXE=$out/mingw/bin/Tarnexio.exe
fi
if [ -z "${TARNEXIO_HOST_EXE:-}" ]; then
  TARNEXIO_HOST_EXE=$(dirname "$TARNEXIO_EXE")/tarnexio-host.exe
  if [ ! -f "$TARNEXIO_HOST_EXE" ]; then
    cmake -S "$top" -B "$out/mingw" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DTARNEXIO_WERROR=ON >/dev/null &&
      timeout 1200 cmake --build "$out/mingw" --target tarnexio-host >/dev/null || fail "tarnexio-host.exe build"
    TARNEXIO_HOST_EXE=$out/mingw/bin/tarnexio-host.exe
  fi
fi
if [ -z "${TARNEXIO_MSI:-}" ]; then
  timeout 600 cmake --build "$(dirname "$TARNEXIO_EXE")/.." --target msi >/dev/null || fail "MSI build"
  TARNEXIO_MSI=$(ls "$(dirname "$TARNEXIO_EXE")"/../tarnexio-*-win64.msi | head -1)
fi
TARNEXIO_MSI=$(realpath "$TARNEXIO_MSI")
warn=(-O2 -Wall -Wextra -Werror)
$cc "${warn[@]}" -ffreestanding -fno-stack-protector -mno-stack-arg-probe -I"$ddk" \
  -c "$here/driver/ftm_test_driver.c" -o "$win/ftm_test_driver.o" &&
  $cc -shared -nostdlib -nostartfiles -Wl,--subsystem,native -Wl,--entry,DriverEntry -Wl,--image-base,0x140000000 \
    -Wl,--dynamicbase -Wl,--nxcompat -o "$win/ftm_test_driver.sys" "$win/ftm_test_driver.o" -lntoskrnl -lhal -lgcc ||
  fail "driver build"
$cc "${warn[@]}" -static -o "$win/relay.exe" "$here/relay/relay.c" -lws2_32 || fail "relay build"
$cc "${warn[@]}" -static -o "$win/service.exe" "$here/relay/service.c" || fail "service installer build"
$cc "${warn[@]}" -static -o "$win/driver_check.exe" "$here/driver/driver_check.c" || fail "driver check build"
$cc "${warn[@]}" -static -o "$win/pipe_client.exe" "$here/capture/pipe_client.c" || fail "capture pipe client build"
# The tests of ftmd's real-controller transports exercise ftmd alone, and those of
# start.sh the native tree, and the capture names of this system: none is about the
# Windows program.
e2e_sources=()
for f in "$top"/tests/e2e/*_test.cpp; do
  case "$(basename "$f")" in
    controllers_test.cpp | start_script_test.cpp | capture_files_test.cpp | capture_live_test.cpp | bench_day_test.cpp) ;;
    *) e2e_sources+=("$f") ;;
  esac
done
# The version the tests expect of the programs, stamped from this tree as every build stamps it.
base=$(sed -n 's/^project(Tarnexio VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
cmake -DBASE="$base" -DSOURCE="$top" -DOUT_H="$out/generated/tarnexio_version.h" -P "$top/cmake/version_stamp.cmake" ||
  fail "version stamp"
timeout 1200 g++ -std=c++17 -O1 -pthread -I"$top/tests/e2e" -I"$top/tests/support" -I"$top/src" -I"$out/generated" -I"$top/tools/host" \
  -DTARNEXIO_BIN="\"$here/e2e/tarnexio_wine.sh\"" -DFTMD_BIN="\"$here/e2e/ftmd_wine.py\"" \
  -DREADME_FILE="\"$top/README.md\"" -DDASHBOARD_FILE="\"$top/examples/grafana/tarnexio-benches.json\"" \
  "$top/tests/e2e/harness.cpp" "${e2e_sources[@]}" "$top"/src/wire/*.cpp "$top/src/metrics/metrics_text.cpp" \
  "$top/tools/host/link.cpp" "$top/tools/host/requests.cpp" "$top"/src/platform/posix/*.cpp \
  "$top/src/platform/format_wide.cpp" \
  "$top/tests/support/capture_check.cpp" "$top/tests/support/child_process.cpp" "$top/tests/support/tcp_queues.cpp" "$top/tests/support/btvirt_watch.cpp" \
  "$top/tests/support/http_get.cpp" \
  -lgtest_main -lgtest -o "$out/e2e_wine" || fail "end-to-end tests build"

step "Wine prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
WINEPREFIX=$(mktemp -d /tmp/tarnexio-winelane.XXXXXX)
export WINEPREFIX
keeper=""
cleanup() {
  [ -n "$keeper" ] && kill "$keeper" 2>/dev/null
  timeout 30 wineserver -k 2>/dev/null
  timeout 30 wineserver -w 2>/dev/null
  # A driver host can outlive its wineserver; end whatever still runs in this prefix.
  for pid in $(pgrep -f 'wine|\.exe' 2>/dev/null); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && kill -9 "$pid" 2>/dev/null
  done
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
timeout 180 "$wine" wineboot -i >/dev/null 2>&1
# A crashing program's backtrace goes to its standard error (for the driver host: service.log)
# instead of a dialog nobody sees.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
# A service started right after the first boot is not found (1060) unless the boot's
# processes have gone first.
timeout 30 wineserver -k 2>/dev/null
timeout 60 wineserver -w 2>/dev/null

step "driver service"
# The whole lane runs in this one Wine session: when its last program ends, Wine stops the
# driver host and the service with it.
sys_path="Z:${win//\//\\}\\ftm_test_driver.sys"
# The driver's messages (debugstr) and where each module was loaded (loaddll), so that a
# crash of the driver host can be put down to the module it happened in; and the events our
# service reports, which Wine's event log writes as err:eventlog lines.
WINEDEBUG=-all,+debugstr,+loaddll,err+eventlog timeout 3000 "$wine" "$win/service.exe" tarnexioftm "$sys_path" >"$out/service.log" 2>&1 &
keeper=$!
for _ in $(seq 1 300); do
  grep -q "driver running" "$out/service.log" && break
  kill -0 "$keeper" 2>/dev/null || break
  sleep 0.1
done
grep -q "driver running" "$out/service.log" || { cat "$out/service.log"; fail "the driver did not start"; }
grep "tarnexio test driver" "$out/service.log" | sed 's/^.*: tarnexio/tarnexio/'

export TARNEXIO_FTMD_REAL=$FTMD TARNEXIO_WINE_EXE=$TARNEXIO_EXE TARNEXIO_WINE_RELAY=$win/relay.exe
export TARNEXIO_WINE_LOGDIR=$out/bridge-logs
# Every program of a test starts and answers slower under Wine: the tests' waits are scaled.
export TARNEXIO_TEST_TIME_SCALE=${TARNEXIO_TEST_TIME_SCALE:-4}
rm -rf "$TARNEXIO_WINE_LOGDIR" && mkdir -p "$TARNEXIO_WINE_LOGDIR"
failures=0

step "driver checks against a scripted device server"
timeout 300 python3 "$here/driver/run_driver_check.py" "$win/driver_check.exe" || failures=$((failures + 1))

step "end-to-end tests, Tarnexio.exe under Wine"
# The refusal when Bluetooth is on is also checked on its own below, with the same lines.
filter=${TARNEXIO_WINE_FILTER:-*}
check_bt_on() {
  local dir code out want
  dir=$(mktemp -d /tmp/tarnexio-winelane-bt.XXXXXX)
  coproc FTMD_RUN { exec timeout 60 "$here/e2e/ftmd_wine.py" --dir "$dir" --type 1 --bt-on; }
  timeout 40 grep -q -m1 " serving " <&"${FTMD_RUN[0]}"
  out=$(timeout 60 "$here/e2e/tarnexio_wine.sh" -p 2391 -m raw 2>&1)
  code=$?
  kill "$FTMD_RUN_PID" 2>/dev/null
  wait "$FTMD_RUN_PID" 2>/dev/null
  rm -rf "$dir"
  want=$'BTFTM : EnterFtmModeThread ++\nBTFTM : EnableDrvFtm Error: BT is not in OFF state, please turn off BT then try again'
  # The thread's "--" line follows its signal to main and may be cut off by the process's end.
  if [ "$code" = 1 ] && [[ "$out" == *"$want"* ]] &&
     [[ "$out" == *$'BTFTM : Cleaning all resources\n'*$'BTFTM : All resources are freed\nBTFTM : Coming out of main loop'* ]] &&
     [[ "$out" != *"Event Thread"* ]]; then
    echo "ok   Bluetooth on: FTM mode refused, clean-up, exit 1"
  else
    echo "FAIL Bluetooth on: exit $code"; echo "$out"
    failures=$((failures + 1))
  fi
}
check_bt_on

# Waits (bounded, in tenths of a second) for a line in a log a program is writing.
wait_for_line() {  # file, text, tenths
  for _ in $(seq 1 "$3"); do
    grep -q "$2" "$1" && return 0
    sleep 0.1
  done
  return 1
}

# A test host of one step: HCI_Reset in raw mode to the bridge on a port; status 0 once its
# Command Complete came back.
reset_through_bridge() {  # port
  python3 - "$1" <<'PY'
import socket, sys
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=20)
s.sendall(bytes.fromhex("01030c00"))
got = b""
while len(got) < 7:
    chunk = s.recv(64)
    if not chunk:
        break
    got += chunk
s.close()
sys.exit(0 if got[:7] == bytes.fromhex("040e0401030c00") else 1)
PY
}

# The test host tool on Windows: tarnexio-host.exe runs one step against the bridge.
check_host_tool() {
  local dir port out code bridge
  dir=$(mktemp -d /tmp/tarnexio-winelane-host.XXXXXX)
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  coproc FTMD_HOST { exec timeout 90 "$here/e2e/ftmd_wine.py" --dir "$dir" --type 1; }
  timeout 40 grep -q -m1 " serving " <&"${FTMD_HOST[0]}"
  timeout 90 "$here/e2e/tarnexio_wine.sh" -p "$port" -m raw >"$dir/bridge.log" 2>&1 &
  bridge=$!
  wait_for_line "$dir/bridge.log" "Waiting for incoming" 400
  out=$(timeout 60 "$wine" "$TARNEXIO_HOST_EXE" "127.0.0.1:$port" reset 2>&1)
  code=$?
  out=${out//$'\r'/}
  # One test host per run: the bridge ends once the tool has gone.
  timeout 30 tail --pid="$bridge" -f /dev/null || kill "$bridge" 2>/dev/null
  wait "$bridge" 2>/dev/null
  kill "$FTMD_HOST_PID" 2>/dev/null
  wait "$FTMD_HOST_PID" 2>/dev/null
  if [ "$code" = 0 ] && [ "$out" = "Command Complete HCI_Reset (0x0c03): Success (0x00)" ]; then
    echo "ok   tarnexio-host.exe reset: Command Complete, exit 0"
  else
    echo "FAIL tarnexio-host.exe reset: exit $code"; echo "$out"; cat "$dir/bridge.log"
    failures=$((failures + 1))
  fi
  rm -rf "$dir"
}
check_host_tool

# A live capture on Windows: the bridge creates the named pipe, never waits for its reader,
# and once one connects writes the pcap stream, which a client of the lane's own checks.
check_capture_pipe() {
  local dir port out code bridge client pipe
  dir=$(mktemp -d /tmp/tarnexio-winelane-pipe.XXXXXX)
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  pipe="\\\\.\\pipe\\tarnexio-lane-$$.pcap"
  coproc FTMD_PIPE { exec timeout 90 "$here/e2e/ftmd_wine.py" --dir "$dir" --type 1; }
  timeout 40 grep -q -m1 " serving " <&"${FTMD_PIPE[0]}"
  TARNEXIO_CAPTURE=$pipe timeout 90 "$here/e2e/tarnexio_wine.sh" -p "$port" -m raw >"$dir/bridge.log" 2>&1 &
  bridge=$!
  wait_for_line "$dir/bridge.log" "Waiting for incoming" 400
  timeout 60 "$wine" "$win/pipe_client.exe" "$pipe" >"$dir/client.log" 2>&1 &
  client=$!
  wait_for_line "$dir/bridge.log" "A reader opened the pipe" 300
  out=$(timeout 60 "$wine" "$TARNEXIO_HOST_EXE" "127.0.0.1:$port" reset 2>&1)
  code=$?
  timeout 30 tail --pid="$bridge" -f /dev/null || kill "$bridge" 2>/dev/null
  wait "$bridge" 2>/dev/null
  wait "$client"
  local client_code=$?
  kill "$FTMD_PIPE_PID" 2>/dev/null
  wait "$FTMD_PIPE_PID" 2>/dev/null
  sed -i 's/\r$//' "$dir/client.log"
  if [ "$code" = 0 ] && [ "$client_code" = 0 ] &&
     grep -q "Capturing HCI packets to the pipe .* once a reader opens it" "$dir/bridge.log" &&
     grep -qx "access: this user alone" "$dir/client.log" &&
     [ "$(grep -v '^connected$\|^access: ' "$dir/client.log")" = $'0 01 4\n1 04 7\nrecords 2' ]; then
    echo "ok   named pipe capture: admits the bridge's user alone; the reader got the pcap header, the command and its event"
  else
    echo "FAIL named pipe capture: host exit $code, client exit $client_code"
    cat "$dir/client.log" "$dir/bridge.log"
    failures=$((failures + 1))
  fi
  rm -rf "$dir"
}
check_capture_pipe
# The bench loop beside Tarnexio.exe: tarnexio-loop.cmd, typed in its folder as the README
# shows it, serves one test host after another, each run with a capture file of its own in
# the directory named, and ends with the bridge's exit code once a run fails (here: ftmd
# stopped, so the driver device is gone). The build gives it CR LF line ends.
check_start_cmd() {
  local dir dev port script log code files
  dir=$(mktemp -d /tmp/tarnexio-winelane-start.XXXXXX)
  dev=$(mktemp -d /tmp/tarnexio-winelane-dev.XXXXXX)
  log=$dir/start.log
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  script=$(dirname "$TARNEXIO_EXE")/tarnexio-loop.cmd
  [ -f "$script" ] || sed 's/$/\r/' "$top/scripts/windows/tarnexio-loop.cmd" >"$script"
  if [ "$(grep -c $'\r$' "$script")" != "$(wc -l <"$script")" ]; then
    echo "FAIL tarnexio-loop.cmd beside Tarnexio.exe has lines without CR LF"
    failures=$((failures + 1))
  fi
  timeout 200 "$here/e2e/ftmd_wine.py" --dir "$dev" --type 1 >"$dir/ftmd.log" 2>&1 &
  local ftmd=$!
  for _ in $(seq 1 400); do
    grep -q " serving " "$dir/ftmd.log" && break
    sleep 0.1
  done
  (cd "$(dirname "$script")" && exec timeout 180 "$wine" cmd /c tarnexio-loop.cmd "$port" RAW "Z:${dir//\//\\}\\captures") 2>&1 |
    sed -u 's/\r$//' >"$log" &
  local loop=$! waits=0
  for host in 1 2; do
    for _ in $(seq 1 600); do
      waits=$(grep -c "Waiting for incoming" "$log")
      [ "$waits" -ge "$host" ] && break
      sleep 0.1
    done
    reset_through_bridge "$port" || echo "host $host: no Command Complete" >>"$log"
  done
  for _ in $(seq 1 600); do
    [ "$(grep -c "Waiting for incoming" "$log")" -ge 3 ] && break
    sleep 0.1
  done
  kill "$ftmd" 2>/dev/null
  wait "$ftmd" 2>/dev/null
  timeout 60 tail --pid="$loop" -f /dev/null
  wait "$loop" 2>/dev/null
  files=$(find "$dir/captures" -name 'tarnexio-*.btsnoop' 2>/dev/null | wc -l)
  if [ "$(grep -c "starting the bridge again" "$log")" = 2 ] && grep -q "tarnexio-loop.cmd: the bridge ended with exit code 1; stopping" "$log" &&
     [ "$(grep -c "Run summary: .*; capture Z:.*captures.tarnexio-" "$log")" = 2 ] && [ "$files" = 3 ] &&
     ! grep -q "no Command Complete" "$log"; then
    echo "ok   tarnexio-loop.cmd: two test hosts in a row, a capture file per run, the failed run's exit code"
  else
    echo "FAIL tarnexio-loop.cmd ($files capture files)"; cat "$log" "$dir/ftmd.log"
    failures=$((failures + 1))
  fi
  rm -rf "$dir" "$dev"
}
check_start_cmd

step "the MSI and the service"
# shellcheck source=tests/windows/msi_service.sh
. "$here/msi_service.sh"
msi_version=$(basename "$TARNEXIO_MSI")
msi_version=${msi_version#tarnexio-}
check_msi_service "$TARNEXIO_MSI" "${msi_version%-win64.msi}"

run_e2e() {  # filter, log
  timeout 2400 "$out/e2e_wine" --gtest_filter="$1" 2>&1 | tee "$2" |
    grep -E '^\[ *(OK|FAILED|PASSED|SKIPPED) *\]|Failure|Expected|Which is|actual|  [^ ]'
  return "${PIPESTATUS[0]}"
}
run_e2e "$filter" "$out/e2e_wine.log"
e2e_code=$?
if [ "$e2e_code" != 0 ]; then
  # Every failed test fails the lane; none is run again.
  failed=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\.[^ ,]*\).*/\1/p' "$out/e2e_wine.log" | sort -u)
  echo "FAIL end-to-end tests under Wine (exit $e2e_code): ${failed:+$(echo "$failed" | wc -l) failed}"
  if [ -n "$failed" ]; then
    echo "$failed" | sed 's/^/  /'
  else
    echo "  none named: the test program ended early (log: $out/e2e_wine.log)"
  fi
  # Wine's own error lines in the bridge runs, if any: a run Wine could not start shows here.
  # Those lines are the ones tarnexio_wine.sh keeps from the tests; the thread number goes, so
  # that the same error counts once.
  wine_errors=$(grep -h '^[0-9a-f]\{4\}:err:' "$TARNEXIO_WINE_LOGDIR"/bridge-*.log 2>/dev/null | cut -d: -f2- | sort | uniq -c)
  if [ -n "$wine_errors" ]; then
    echo "  Wine's error lines in the bridge runs (grep -l :err: $TARNEXIO_WINE_LOGDIR/bridge-*.log):"
    echo "$wine_errors" | sed 's/^/  /'
  fi
  failures=$((failures + 1))
fi

# The driver host crashing once the driver runs ends the driver: every test after it fails,
# none of them for anything of its own. The crash is named as what it is. The likely cause seen
# so far lies in Wine 8: a cancel the server has queued for a request is still delivered after the driver
# completed that request and the request was freed, and IoCancelIrp then writes to (or calls
# through) freed memory on the host's dispatch thread; it shows as a fault inside ntoskrnl.exe
# or at an address in the driver's pool, with no module of ours involved.
crashes=$(sed -n '/^driver running/,$p' "$out/service.log" | grep "Unhandled \(page fault\|exception\)")
if [ -n "$crashes" ]; then
  echo "FAIL the driver host crashed; the tests after the crash could not open the driver:"
  echo "$crashes" | sed 's/^/  /'
  echo "  where each module was loaded: grep Loaded $out/service.log"
  failures=$((failures + 1))
fi

# Wine's own server can fail one of its assertions and end (seen once in Wine 8's socket code,
# sock_get_poll_events, as a bridge ended); the driver host ends with it, and every test after it
# fails to reach the driver for the same reason. Named as what it is.
server_crash=$(grep "^wineserver.*Assertion" "$out/service.log")
if [ -n "$server_crash" ]; then
  echo "FAIL Wine's server failed an assertion and ended, taking the driver host with it; the tests after it could not open the driver:"
  echo "$server_crash" | sed 's/^/  /'
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || fail "windows lane: $failures part(s) failed (logs in $out)"
echo "windows lane passed"
