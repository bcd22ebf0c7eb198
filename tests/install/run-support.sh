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

# A port nothing listens on now, below the system's range for outgoing connections (so that
# no client of another test takes it meanwhile). Another test may still choose it: a program
# that says its port is in use is started again on another.
free_port() {
  local low port
  low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  [ "$low" -gt 11000 ] || low=32768
  while :; do
    port=$((10000 + RANDOM % (low - 10000)))
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null || { echo "$port"; return; }
  done
}
