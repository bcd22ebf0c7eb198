#!/usr/bin/env bash
# The stress run: the suite (or a chosen part of it) N times in a row with ctest -j2, while
# busy loops keep both cores loaded, and a report of every test that failed at least once.
#
#   tests/stress.sh [-n N] [-L LABEL] [-LE LABEL] [-R REGEX] [-E REGEX] [--quiet] [-t SECONDS] [BUILD_DIR]
#
#   -n N        rounds (default 3)
#   -L, -LE     ctest labels to take or leave out (regular expressions, as ctest reads them)
#   -R, -E      test names to take or leave out (regular expressions)
#   --quiet     no busy loops (default: --busy, one busy loop per core)
#   -t SECONDS  bound of each round (default 3600); a round that reaches it is killed and
#               the tests it had not finished count as failed
#   BUILD_DIR   a configured and built tree (default build)
#
# Labels: e2e (the end-to-end tests of tests/e2e and tests/host), long (the bench's day:
# fifty test hosts through the launcher; -L 'e2e|long' takes both), ftmd, faults, soak,
# install, bench. By name:
#   btvirt     -R '^Btvirt'           ftmd and the bridge against BlueZ's emulated controller
#   launcher   -R '^(StartScript|BenchDay)'   scripts/start.sh
#   capture    -R 'Capture'           the capture files, live captures and their order
# For example, ten busy rounds of the end-to-end tests:
#   tests/stress.sh -n 10 -L e2e build
#
# TARNEXIO_TEST_TIME_SCALE and TARNEXIO_TEST_PEND_ALWAYS reach the tests as they are set.
# Every round's ctest output and JUnit file stay in BUILD_DIR/stress/ (round-K.log,
# round-K.xml). The report names each test that failed, in how many rounds, and the first
# failure's round log with an excerpt of its output; it ends with the line
# "P passed, F failed" (test executions). The exit status is 0 only when nothing failed.
set -uo pipefail

rounds=3 busy=1 bound=3600 build=build
select=()
while [ $# -gt 0 ]; do
  case "$1" in
    -n) rounds=$2; shift 2 ;;
    -L | -LE | -R | -E) select+=("$1" "$2"); shift 2 ;;
    -t) bound=$2; shift 2 ;;
    --quiet) busy=0; shift ;;
    --busy) busy=1; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "stress.sh: unknown option $1" >&2; exit 2 ;;
    *) build=$1; shift ;;
  esac
done
[[ "$rounds" =~ ^[1-9][0-9]*$ ]] || { echo "stress.sh: -n wants a positive number" >&2; exit 2; }
[[ "$bound" =~ ^[1-9][0-9]*$ ]] || { echo "stress.sh: -t wants a positive number of seconds" >&2; exit 2; }
[ -f "$build/CTestTestfile.cmake" ] || { echo "stress.sh: $build is not a configured build tree" >&2; exit 2; }
build=$(cd "$build" && pwd)
logs=$build/stress
rm -rf "$logs" && mkdir -p "$logs"

loops=() round_pid=""
stop_all() {
  [ -n "$round_pid" ] && kill "$round_pid" 2>/dev/null
  for pid in "${loops[@]}"; do kill "$pid" 2>/dev/null; done
  for pid in "${loops[@]}"; do wait "$pid" 2>/dev/null; done
  loops=()
}
trap stop_all EXIT
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM

export TARNEXIO_TEST_TIME_SCALE=${TARNEXIO_TEST_TIME_SCALE:-1}
[ -n "${TARNEXIO_TEST_PEND_ALWAYS:-}" ] && export TARNEXIO_TEST_PEND_ALWAYS
echo "== stress: $rounds round(s) of ctest -j2 ${select[*]:-(the whole suite)} on $build," \
  "$([ "$busy" = 1 ] && echo "$(nproc) busy loop(s)" || echo quiet)," \
  "TARNEXIO_TEST_TIME_SCALE=$TARNEXIO_TEST_TIME_SCALE${TARNEXIO_TEST_PEND_ALWAYS:+, TARNEXIO_TEST_PEND_ALWAYS=$TARNEXIO_TEST_PEND_ALWAYS}"
if [ "$busy" = 1 ]; then
  for _ in $(seq 1 "$(nproc)"); do
    (exec bash -c 'while :; do :; done') &
    loops+=($!)
  done
fi

# The tests the rounds run, for the count and for the tests a cut-off round never reached.
ctest --test-dir "$build" -N "${select[@]}" | sed -n 's/^ *Test *#[0-9]*: \([^ ]*\).*/\1/p' >"$logs/tests.txt"
[ -s "$logs/tests.txt" ] || { echo "stress.sh: no test matches ${select[*]}" >&2; exit 2; }
codes=()
start=$SECONDS
for k in $(seq 1 "$rounds"); do
  # The round runs in the background so that a signal to this script ends it at once.
  timeout -k 30 "$bound" ctest --test-dir "$build" -j2 --output-on-failure --output-junit "$logs/round-$k.xml" \
    "${select[@]}" >"$logs/round-$k.log" 2>&1 &
  round_pid=$!
  wait "$round_pid"
  code=$?
  round_pid=""
  codes+=("$code")
  [ "$code" = 124 ] || [ "$code" = 137 ] && echo "round $k: ctest did not end within ${bound}s" >>"$logs/round-$k.log"
  echo "round $k of $rounds: $(grep -E '^[0-9]+% tests passed' "$logs/round-$k.log" || echo "ctest ended with $code") ($((SECONDS - start))s)"
done
stop_all
wall=$((SECONDS - start))

# The report, from the rounds' ctest logs: each test's status line, and under
# --output-on-failure the output of a failed test right after it.
python3 - "$logs" "$rounds" "$wall" "${codes[@]}" <<'PY'
import os, re, sys

logs, rounds, wall = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
codes = sys.argv[4:]
tests = [l.strip() for l in open(os.path.join(logs, "tests.txt")) if l.strip()]
# "k/n Test #i: name[  # GetParam() = ...] .....   [***]result   t sec"
status = re.compile(r"^\s*\d+/\d+ Test\s+#\d+: (\S+).*\.\s*(\*{3})?(\S.*?)\s+[\d.]+ sec\s*$")
start_line = re.compile(r"^\s*Start\s+\d+: ")
passed = failed = 0
fails = {}  # name -> [rounds failed, first round log, excerpt]
for k in range(1, rounds + 1):
    path = os.path.join(logs, "round-%d.log" % k)
    lines = open(path, errors="replace").read().splitlines()
    listed = set()
    i = 0
    while i < len(lines):
        m = status.match(lines[i])
        i += 1
        if not m:
            continue
        name, result = m.group(1), m.group(3).strip()
        listed.add(name)
        if result == "Passed":
            passed += 1
            continue
        failed += 1
        body = []
        while i < len(lines) and not status.match(lines[i]) and not re.match(r"^\d+% tests passed", lines[i]):
            body.append(lines[i])
            i += 1
        entry = fails.setdefault(name, [0, path, None])
        entry[0] += 1
        if entry[2] is None:
            key = [j for j, l in enumerate(body) if re.search(r"Failure|Expected|Which is|\[  FAILED  \]|Timeout|rror", l)]
            start = max(0, key[0] - 2) if key else max(0, len(body) - 12)
            entry[2] = [result] + [l[:200] for l in body[start:start + 12] if l.strip() and not start_line.match(l)]
    # A round cut off, or a ctest that failed without running its tests: the tests it did
    # not report count as failed.
    if codes[k - 1] != "0":
        why = "not finished: " + (lines[-1] if lines else "ctest ended with %s" % codes[k - 1])
        for name in tests:
            if name not in listed:
                failed += 1
                entry = fails.setdefault(name, [0, path, [why]])
                entry[0] += 1
print("== stress report: %d round(s), %d test(s), %d:%02d wall time" % (rounds, len(tests), wall // 60, wall % 60))
for name in sorted(fails, key=lambda n: (-fails[n][0], n)):
    n, path, excerpt = fails[name]
    print("FAILED %s: %d of %d round(s); first in %s" % (name, n, rounds, path))
    for line in excerpt:
        print("    " + line)
if not fails:
    print("no test failed")
print("%d passed, %d failed" % (passed, failed))
sys.exit(1 if failed else 0)
PY
