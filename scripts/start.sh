#!/usr/bin/env bash
# Builds Tarnexio and ftmd, then serves test hosts on port 2390 in raw mode against
# ftmd's simulated controller: the bridge serves one test host per run, so it is started
# again after each one, until Ctrl+C stops both. Extra arguments go to ftmd (see ftmd --help).
#
# TARNEXIO_BUILD_DIR names a tree that is already built (nothing is built then);
# TARNEXIO_PORT and TARNEXIO_MODE change the port and the mode.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
if [ -n "${TARNEXIO_BUILD_DIR:-}" ]; then
  build="$TARNEXIO_BUILD_DIR"
else
  build="$top/build"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" --target Tarnexio ftmd
fi
port="${TARNEXIO_PORT:-2390}"
mode="${TARNEXIO_MODE:-raw}"

# Both programs find the device directory by the same rule ($TARNEXIO_DEVICE_DIR when set,
# else a directory private to this user) and ftmd creates it. This script gives them a
# private one of its own unless one is named, and removes what it or ftmd created.
made_dir=
if [ -z "${TARNEXIO_DEVICE_DIR:-}" ]; then
  TARNEXIO_DEVICE_DIR=$(mktemp -d)
  made_dir=1
elif [ ! -e "$TARNEXIO_DEVICE_DIR" ]; then
  made_dir=1
fi
export TARNEXIO_DEVICE_DIR

ready=$(mktemp)
# ftmd runs in a session of its own, so that Ctrl+C reaches the bridge alone and the
# bridge ends with its driver still there; ftmd is stopped after it.
setsid "$build/bin/ftmd" "$@" >"$ready" 2>&1 &
ftmd_pid=$!
stop_ftmd() {
  kill -TERM "$ftmd_pid" 2>/dev/null || true
  wait "$ftmd_pid" 2>/dev/null || true
  rm -f "$ready"
  if [ -n "$made_dir" ]; then rmdir "$TARNEXIO_DEVICE_DIR" 2>/dev/null || true; fi
}
trap stop_ftmd EXIT

# Wait (at most 10 s) for ftmd's ready line before the bridge opens the device.
for _ in $(seq 100); do
  grep -q 'ftmd: serving' "$ready" 2>/dev/null && break
  kill -0 "$ftmd_pid" 2>/dev/null || { cat "$ready"; exit 1; }
  sleep 0.1
done
cat "$ready"

# Ctrl+C reaches both processes of the foreground group: the bridge ends through its
# stop sequence, this script after it. A bridge that ends with an error (nothing served:
# the port taken, the driver gone) is not started again.
stopping=
trap 'stopping=1' INT
echo "start.sh: serving test hosts on port $port ($mode mode), one per run of the bridge; Ctrl+C stops"
code=0
set +e
while [ -z "$stopping" ]; do
  "$build/bin/Tarnexio" -p "$port" -m "$mode"
  code=$?
  [ -n "$stopping" ] && { code=0; break; }
  [ "$code" -ne 0 ] && break
  echo "start.sh: the test host is gone; starting the bridge again for the next one"
done
set -e
exit $code
