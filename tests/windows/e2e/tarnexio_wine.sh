#!/usr/bin/env bash
# Stands in for the bridge binary in the end-to-end tests: runs Tarnexio.exe under Wine in the
# lane's prefix. exec keeps the process id, so the tests' signals reach the Windows program
# (Wine turns SIGINT into a Ctrl+C console control event). Wine's console output ends lines
# with CR LF, on standard output and standard error; the CRs are dropped on the way, line by
# line and unbuffered. With TARNEXIO_WINE_LOGDIR set, each run's output is also kept there, for
# reading after a failure, together with Wine's own error lines (its err channel, "XXXX:err:..."
# where XXXX is the thread), which the tests never see: a run that ends before the Windows
# program prints anything is then told apart from one Wine could not start.
# A capture file or metrics directory named by its Linux path reaches the Windows program
# through drive Z:.
if [[ "${TARNEXIO_BTSNOOP:-}" == /* ]]; then
  export TARNEXIO_BTSNOOP="Z:$TARNEXIO_BTSNOOP"
fi
if [[ "${TARNEXIO_CAPTURE:-}" == /* ]]; then
  export TARNEXIO_CAPTURE="Z:$TARNEXIO_CAPTURE"
fi
if [[ "${TARNEXIO_METRICS_DIR:-}" == /* ]]; then
  export TARNEXIO_METRICS_DIR="Z:$TARNEXIO_METRICS_DIR"
fi
if [ -n "${TARNEXIO_WINE_LOGDIR:-}" ]; then
  log="$TARNEXIO_WINE_LOGDIR/bridge-$(date +%s.%N)-$$.log"
  echo "Tarnexio.exe $*" >"$log"
  export WINEDEBUG=-all,err+all
  exec /usr/lib/wine/wine64 "$TARNEXIO_WINE_EXE" "$@" > >(exec sed -u 's/\r$//' | tee -a "$log") \
    2> >(exec sed -u 's/\r$//' | tee -a "$log" | exec grep --line-buffered -v '^[0-9a-f]\{4\}:err:' >&2)
fi
exec /usr/lib/wine/wine64 "$TARNEXIO_WINE_EXE" "$@" > >(exec sed -u 's/\r$//') 2> >(exec sed -u 's/\r$//' >&2)
