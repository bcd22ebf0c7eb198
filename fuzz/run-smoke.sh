#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each one for a bounded time on its seed
# corpus (FUZZ_SECONDS each, 15 by default). A finding stops the script with the
# reproducer written to the build directory.
#   fuzz/run-smoke.sh [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$top/build-fuzz}" && cd "${1:-$top/build-fuzz}" && pwd)
seconds=${FUZZ_SECONDS:-15}
cmake -S "$top/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build"
for target in raw_demux diag_receive diag_frame devchan ftmd_requests h4 hci_packets btsnoop capture utf8 metrics_text controller_stream host_receive host_steps net_address; do
  work=$(mktemp -d)
  echo "== fuzz $target (${seconds}s)"
  # The seed corpus is read only; new inputs go to a scratch directory.
  if ! (cd "$build" && timeout $((seconds + 60)) "bin/fuzz_$target" -max_total_time="$seconds" -max_len=8192 \
        -print_final_stats=1 "$work" "$top/fuzz/corpus/$target" >"$build/fuzz_$target.log" 2>&1); then
    tail -40 "$build/fuzz_$target.log"
    rm -rf "$work"
    echo "fuzz $target: finding, see $build/fuzz_$target.log" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units" "$build/fuzz_$target.log" || true
  rm -rf "$work"
done
