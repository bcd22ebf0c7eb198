# Sourced by the scripts here that start programs: a scratch directory $work (named after
# $1) and the programs in pids, both gone at the exit; waits on lines of their output.
work=$(mktemp -d "/tmp/tarnexio-$1.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# Waits at most $2 seconds for the file $1 to hold a line matching $3.
wait_for_line() {
  local deadline=$((SECONDS + $2))
  until grep -q -- "$3" "$1" 2>/dev/null; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}
