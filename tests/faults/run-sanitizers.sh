#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer + UndefinedBehaviorSanitizer and with
# ThreadSanitizer and runs it, end-to-end, fault and soak tests included (the binaries
# under test are the sanitized ones). Soak counts are smaller than in the plain run; set
# TARNEXIO_SOAK_ROUNDS, TARNEXIO_SOAK_DIAG, TARNEXIO_HYGIENE_RUNS to change them. Tests
# labelled "long" (a bench's day of fifty runs) run in the plain suite only.
#   tests/faults/run-sanitizers.sh [address|thread]...   (both by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(address thread)

export TARNEXIO_SOAK_ROUNDS=${TARNEXIO_SOAK_ROUNDS:-20}
export TARNEXIO_SOAK_DIAG=${TARNEXIO_SOAK_DIAG:-800}
export TARNEXIO_HYGIENE_RUNS=${TARNEXIO_HYGIENE_RUNS:-60}
# Any report fails the process that makes it, the test binaries and the programs they run.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1:quarantine_size_mb=32}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Tests run some programs as another user, who may not reach into this tree (a clone in a
# private directory), and some in a /tmp of their own: the suppressions are read from a
# copy every user can read, outside /tmp.
supp=$(mktemp /var/tmp/tarnexio-tsan-supp.XXXXXX)
trap 'rm -f "$supp"' EXIT
cp "$top/tests/faults/tsan.supp" "$supp"
chmod 644 "$supp"
export TSAN_OPTIONS=${TSAN_OPTIONS:-suppressions=$supp:halt_on_error=0:exitcode=66}

# A sanitized program runs several times slower than a plain one (the thread sanitizer
# most): every wait of the tests is lengthened by this factor unless one is set already.
given_scale=${TARNEXIO_TEST_TIME_SCALE:-}

for kind in "${kinds[@]}"; do
  build="build-$([ "$kind" = address ] && echo asan || echo tsan)"
  scale=${given_scale:-$([ "$kind" = address ] && echo 3 || echo 5)}
  echo "== test suite under the $kind sanitizer ($build), waits scaled by $scale"
  cmake -S . -B "$build" -G Ninja -DTARNEXIO_SANITIZE="$kind" >/dev/null
  cmake --build "$build"
  TARNEXIO_TEST_TIME_SCALE=$scale ctest --test-dir "$build" --output-on-failure -j2 --timeout 600 -LE long
done
