#!/usr/bin/env bash
# Builds Tarnexio and ftmd, then runs the bridge on port 2390 in raw mode against ftmd's
# simulated controller. Ctrl+C stops both. Extra arguments go to ftmd (see ftmd --help).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build="$top/build"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target Tarnexio ftmd

# Both programs find the device directory by the same rule ($TARNEXIO_DEVICE_DIR when set,
# else a directory private to this user) and ftmd creates it; nothing to prepare here.

ready=$(mktemp)
# ftmd runs in a session of its own, so that Ctrl+C reaches the bridge alone and the
# bridge ends with its driver still there; ftmd is stopped after it.
setsid "$build/bin/ftmd" "$@" >"$ready" 2>&1 &
ftmd_pid=$!
stop_ftmd() { kill -TERM "$ftmd_pid" 2>/dev/null || true; wait "$ftmd_pid" 2>/dev/null || true; rm -f "$ready"; }
trap stop_ftmd EXIT

# Wait (at most 10 s) for ftmd's ready line before the bridge opens the device.
for _ in $(seq 100); do
  grep -q 'ftmd: serving' "$ready" 2>/dev/null && break
  kill -0 "$ftmd_pid" 2>/dev/null || { cat "$ready"; exit 1; }
  sleep 0.1
done
cat "$ready"

# Ctrl+C reaches both processes of the foreground group: the bridge ends through its
# stop sequence, ftmd removes its socket.
trap ':' INT
set +e
"$build/bin/Tarnexio" -p 2390 -m raw
code=$?
set -e
exit $code
