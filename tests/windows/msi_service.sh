# The MSI and the service, in the Windows lane (sourced by lane.sh, in its Wine session with
# the test kernel driver running; uses its wine, here, out, failures, wait_for_line and
# reset_through_bridge).
#
# Installs the MSI silently with AUTOSTART=1: the installer makes the start automatic and
# starts the service at once, before there is a driver device to open, so each start fails
# and is retried with back-off (a line in the log and in the event log each). The service is
# stopped (net stop), ftmd started, the service started again (sc start) and two test hosts
# served through it in a row, a capture file each in the directory of the settings file; a
# stop (sc stop) then reaches the waiting bridge as Ctrl+C, and both runs' summaries and the
# stop sequence are in the day's log. Uninstalling leaves no file in Program Files, no
# service and no registry key of ours; the settings file and the logs are the lab's and stay.
#
# Wine's service manager does all of these steps; Wine's event log only writes each event
# to the debug output (err:eventlog, in the driver host's service.log), where it is looked for.

msi_step() { echo "ok   msi: $*"; }
msi_fail() { echo "FAIL msi: $*"; msi_failed=1; }

# Polls `sc query` (bounded, in tenths of a second) until the service is in a state.
wait_for_service_state() {  # state (RUNNING, STOPPED), tenths
  for _ in $(seq 1 "$2"); do
    timeout 20 "$wine" sc query Tarnexio 2>/dev/null | tr -d '\r' | grep -q "STATE *: [0-9]  *$1" && return 0
    sleep 0.1
  done
  return 1
}

check_msi_service() {
  local msi=$1 version=$2
  local dir msi_win program_files data log log_text port code ftmd=""
  local started=$SECONDS
  msi_failed=0
  dir=$(mktemp -d /tmp/tarnexio-winelane-msi.XXXXXX)
  msi_win="Z:${msi//\//\\}"
  program_files="$WINEPREFIX/drive_c/Program Files/Tarnexio"
  data="$WINEPREFIX/drive_c/ProgramData/Tarnexio"
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

  # The package itself: the programs' version, a demand start unless AUTOSTART=1.
  [ "$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^ProductVersion\t//p')" = "${version%%+*}" ] ||
    msi_fail "ProductVersion is not ${version%%+*}"
  [ "$(msiinfo export "$msi" ServiceInstall | tr -d '\r' | awk -F'\t' '$2 == "Tarnexio" { print $5 }')" = 3 ] ||
    msi_fail "the service's start type in the package is not demand (3)"

  timeout 180 "$wine" msiexec /i "$msi_win" /qn AUTOSTART=1 /l*v "Z:${dir//\//\\}\\install.log" >/dev/null 2>&1
  code=$?
  if [ "$code" != 0 ] || [ ! -f "$program_files/Tarnexio.exe" ]; then
    msi_fail "msiexec /i exit $code"; iconv -f UTF-16LE -t UTF-8 "$dir/install.log" 2>/dev/null | grep -i "error\|return value 3" | head -20
    rm -rf "$dir"
    failures=$((failures + 1))
    return
  fi
  for want in Tarnexio.exe tarnexio-service.exe tarnexio-host.exe tarnexio-loop.cmd README.md LICENSE \
    manual/Tarnexio.1.txt manual/tarnexio-host.1.txt; do
    [ -f "$program_files/$want" ] || msi_fail "no $want in Program Files\\Tarnexio"
  done
  local line
  line=$(timeout 60 "$wine" "C:\\Program Files\\Tarnexio\\Tarnexio.exe" --version 2>/dev/null | head -1 | tr -d '\r')
  [ "$line" = "Tarnexio $version" ] && msi_step "installed silently; Tarnexio.exe --version: $line" ||
    msi_fail "installed Tarnexio.exe --version says '$line', not 'Tarnexio $version'"
  grep -q '^# port = 2390' "$data/tarnexio.conf" 2>/dev/null || msi_fail "no settings file with commented defaults"
  timeout 20 "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Tarnexio' /v Start 2>/dev/null | tr -d '\r' |
    grep -q "REG_DWORD *0x2" || msi_fail "AUTOSTART=1 did not make the start automatic"
  timeout 20 "$wine" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Tarnexio' /v ImagePath 2>/dev/null | tr -d '\r' |
    grep -q 'REG_[A-Z_]*SZ *"C:\\Program Files\\Tarnexio\\tarnexio-service.exe"$' ||
    msi_fail "the service's program path is not in quotes"

  # Started by the installer, with no device to open: failures retried with back-off.
  log="$data/tarnexio-$(date +%Y-%m-%d).log"
  if wait_for_line "$log" "failure 2 in a row); starting it again in 2 s" 300 &&
     grep -q "failure 1 in a row); starting it again in 1 s" "$log" &&
     wait_for_line "$out/service.log" 'err:eventlog:ReportEventW L"tarnexio-service: the bridge ended with exit code 1 (failure 1 in a row)' 100; then
    msi_step "AUTOSTART=1: started at install; a bridge without its driver retried after 1 s, 2 s, each failure in the log and the event log"
  else
    msi_fail "no back-off lines for the bridge without a driver"
  fi
  timeout 60 "$wine" net stop Tarnexio >/dev/null 2>&1
  wait_for_service_state STOPPED 300 || msi_fail "net stop: the service did not stop"

  # The settings the service reads; a change takes effect at the next start.
  printf 'port = %s\r\nmode = RAW\r\ncapture_dir = %s\r\nlog_days = 3\r\n' "$port" "Z:${dir//\//\\}\\captures" >"$data/tarnexio.conf"
  mkdir -p "$dir/dev"
  timeout 200 "$here/e2e/ftmd_wine.py" --dir "$dir/dev" --type 1 >"$dir/ftmd.log" 2>&1 &
  ftmd=$!
  wait_for_line "$dir/ftmd.log" " serving " 400 || msi_fail "ftmd did not start"
  local before
  before=$(grep -c "Waiting for incoming" "$log")
  timeout 60 "$wine" sc start Tarnexio >/dev/null 2>&1
  wait_for_service_state RUNNING 300 || msi_fail "sc start: the service is not running"
  local host
  for host in 1 2; do
    for _ in $(seq 1 600); do
      [ "$(grep -c "Waiting for incoming" "$log")" -ge $((before + host)) ] && break
      sleep 0.1
    done
    reset_through_bridge "$port" || msi_fail "test host $host: no Command Complete"
  done
  # The third run waits for a test host when the stop comes.
  for _ in $(seq 1 600); do
    [ "$(grep -c "Waiting for incoming" "$log")" -ge $((before + 3)) ] && break
    sleep 0.1
  done
  local stop_start stop_tenths
  stop_start=$(date +%s%N)
  timeout 60 "$wine" sc stop Tarnexio >/dev/null 2>&1
  wait_for_service_state STOPPED 400 || msi_fail "sc stop: the service did not report stopped within 40 s"
  stop_tenths=$((($(date +%s%N) - stop_start) / 100000000))
  local files summaries
  files=$(find "$dir/captures" -name 'tarnexio-*.btsnoop' 2>/dev/null | wc -l)
  # The bridge's C runtime writes its lines with CR LF, and the service writes its own so.
  [ "$(grep -c $'\r$' "$log")" = "$(wc -l <"$log")" ] || msi_fail "the log has lines without CR LF"
  log_text=$(tr -d '\r' <"$log")
  summaries=$(awk -v b="$before" '/Waiting for incoming/ { n++ } n > b && /BTFTM : Run summary: / { s++ } END { print s + 0 }' <<<"$log_text")
  if [ "$summaries" = 2 ] && [ "$files" = 3 ] &&
     grep -q "tarnexio-service: stopping: Ctrl+C to the bridge" <<<"$log_text" &&
     grep -q "^Signalling the main thread to exit\.\.$" <<<"$log_text" && grep -q "^BTFTM : accept failed$" <<<"$log_text" &&
     grep -q "tarnexio-service: the bridge ended with exit code 1; the service stops" <<<"$log_text"; then
    msi_step "sc start, two test hosts in a row (a capture file each), sc stop: Ctrl+C's stop sequence and both summaries in the log; stopped in $((stop_tenths / 10)).$((stop_tenths % 10)) s"
  else
    msi_fail "the service's runs: $summaries run summaries, $files capture files"
    echo "$log_text"
  fi
  kill "$ftmd" 2>/dev/null
  wait "$ftmd" 2>/dev/null

  timeout 180 "$wine" msiexec /x "$msi_win" /qn /l*v "Z:${dir//\//\\}\\uninstall.log" >/dev/null 2>&1
  code=$?
  [ "$code" = 0 ] || msi_fail "msiexec /x exit $code"
  local left=""
  [ -e "$program_files" ] && left+=" Program Files\\Tarnexio:$(cd "$program_files" && find . -mindepth 1 | tr '\n' ' ')"
  timeout 20 "$wine" sc query Tarnexio >/dev/null 2>&1 && left+=" the service"
  local key
  for key in 'HKLM\SYSTEM\CurrentControlSet\Services\Tarnexio' \
    'HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tarnexio'; do
    timeout 20 "$wine" reg query "$key" >/dev/null 2>&1 && left+=" $key"
  done
  timeout 30 "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | grep -qi tarnexio &&
    left+=" an Uninstall entry"
  # What stays is the lab's: its settings and the logs.
  local kept
  kept=$(cd "$data" 2>/dev/null && find . -mindepth 1 ! -name tarnexio.conf ! -name 'tarnexio-*.log')
  [ -n "$kept" ] && left+=" in ProgramData: $kept"
  [ -z "$left" ] && msi_step "uninstalled silently: no file, service or registry key left; tarnexio.conf and the logs stay" ||
    msi_fail "left behind after msiexec /x:$left"
  rm -rf "$dir"
  echo "     msi: $((SECONDS - started)) s in all"
  [ "$msi_failed" = 0 ] || failures=$((failures + 1))
}
