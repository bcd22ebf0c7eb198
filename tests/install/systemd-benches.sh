#!/usr/bin/env bash
# Two benches under systemd itself. systemd boots as PID 1 of namespaces of its own (pid,
# mount, network, host name, cgroup) on an overlay of / (nothing is written to the real
# root), the Debian package is installed there with dpkg, two bench files are written and
# `systemctl enable --now ftmd@bench1 tarnexio@bench1 ftmd@bench2 tarnexio@bench2` starts
# them. Then: each bench serves a test host from its own controller; a bridge stopped while
# it waits leaves its unit inactive, not failed; a killed ftmd is started again, and its
# bridge with it; both run as the user tarnexio. Where systemd cannot boot so (not root, no
# systemd, no overlay), it says why and exits with 0.
#
#   systemd-benches.sh DEB
set -uo pipefail
deb=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "skipped: needs root"; exit 0; }
[ -x /lib/systemd/systemd ] && command -v nsenter >/dev/null || { echo "skipped: needs systemd and nsenter"; exit 0; }
work=$(mktemp -d /tmp/tarnexio-systemd.XXXXXX)
cgroups=()
launcher=
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

inside() { timeout 60 nsenter -t "$init" -m -p -n -u -C -r -w "$@"; }
cleanup() {
  if [ -n "$launcher" ]; then
    [ -n "${init:-}" ] && inside systemctl poweroff 2>/dev/null
    # Killing the init of a pid namespace ends everything in it.
    timeout 30 tail --pid="$launcher" -f /dev/null || kill -KILL ${init:-} "$launcher" 2>/dev/null
    wait "$launcher" 2>/dev/null
  fi
  # A cgroup goes once its last process is reaped, a moment after the end.
  for _ in $(seq 50); do
    left=
    for group in "${cgroups[@]}"; do
      find "$group" -depth -type d -exec rmdir {} + 2>/dev/null
      [ -d "$group" ] && left=1
    done
    [ -z "$left" ] && break
    sleep 0.1
  done
  rm -rf "$work"
}
trap cleanup EXIT

# A cgroup of its own, in every hierarchy there is, which the cgroup namespace makes the
# root that systemd sees.
name=$(basename "$work")
if [ -f /sys/fs/cgroup/cgroup.procs ]; then
  hierarchies=(/sys/fs/cgroup)
else
  hierarchies=(/sys/fs/cgroup/*/)
fi
for h in "${hierarchies[@]}"; do
  mkdir "$h/$name" 2>/dev/null && cgroups+=("$h/$name")
done
[ ${#cgroups[@]} -gt 0 ] || { echo "skipped: no cgroup can be made here"; exit 0; }

mkdir -p "$work/upper/var/tmp" "$work/work" "$work/root"
cp "$deb" "$work/upper/var/tmp/tarnexio.deb"
(
  for group in "${cgroups[@]}"; do echo "$BASHPID" >"$group/cgroup.procs" 2>/dev/null; done
  exec unshare --mount --pid --fork --uts --net --cgroup --propagation private bash -c '
    cd "$1" && mount -t overlay overlay -o "lowerdir=/,upperdir=$1/upper,workdir=$1/work" root || exit 3
    mount -t proc proc root/proc && mount --rbind /sys root/sys && mount --rbind /dev root/dev &&
      mount -t tmpfs tmpfs root/run && mount -t tmpfs tmpfs root/tmp || exit 3
    exec chroot root env container=tarnexio-check /lib/systemd/systemd --system --unit=basic.target --show-status=no' \
    boot "$work"
) >"$work/boot.log" 2>&1 &
launcher=$!

# systemd is unshare's child; it has booted when it says it is running.
init=
for _ in $(seq 300); do
  kill -0 "$launcher" 2>/dev/null || break
  read -r init _ < <(cat /proc/"$launcher"/task/*/children 2>/dev/null)
  [ -n "$init" ] && [[ "$(inside systemctl is-system-running 2>/dev/null)" =~ ^(running|degraded)$ ]] && break
  sleep 0.1
done
if [ -z "$init" ] || ! [[ "$(inside systemctl is-system-running 2>/dev/null)" =~ ^(running|degraded)$ ]]; then
  echo "skipped: systemd did not boot in namespaces of its own here:"; cat "$work/boot.log"
  exit 0
fi
ok "systemd $(inside systemctl --version | head -1 | cut -d' ' -f2) booted as PID 1 of its own namespaces"

inside dpkg -i /var/tmp/tarnexio.deb >"$work/dpkg.out" 2>&1 || { fail "dpkg -i:"; cat "$work/dpkg.out"; exit 1; }
inside bash -c '
  for b in 1 2; do
    { cat /etc/tarnexio/example.conf; echo "TARNEXIO_PORT=239$b"; echo "FTMD_OPTIONS=--bdaddr 00:BE:4C:00:00:0$b"
      echo "TARNEXIO_CAPTURE=/var/lib/tarnexio/bench$b"; } >/etc/tarnexio/bench$b.conf
  done
  # An ftmd without --metrics-dir (another change brings it) runs without it.
  if ! /usr/sbin/ftmd --help | grep -q -- --metrics-dir; then
    echo "note: this ftmd has no --metrics-dir yet: a drop-in leaves it out"
    mkdir -p /etc/systemd/system/ftmd@.service.d
    printf "[Service]\nExecStart=\nExecStart=/usr/sbin/ftmd --dir \${TARNEXIO_DEVICE_DIR} --controller \${FTMD_CONTROLLER} \$FTMD_OPTIONS\n" \
      >/etc/systemd/system/ftmd@.service.d/no-metrics-dir.conf
    systemctl daemon-reload
  fi
  systemctl enable --now ftmd@bench1 tarnexio@bench1 ftmd@bench2 tarnexio@bench2 2>&1 | grep -v "^Created symlink"'
# Units ordered after ftmd's readiness are started once it said READY=1; each bridge
# then listens within moments.
state=$(inside systemctl is-active ftmd@bench1 tarnexio@bench1 ftmd@bench2 tarnexio@bench2 | tr '\n' ' ')
[ "$state" = "active active active active " ] && ok "two benches: ftmd@ and tarnexio@ of bench1 and bench2 active" || fail "the units: $state"
users=$(inside ps -o user= -C ftmd,Tarnexio | sort -u | tr '\n' ' ')
[ "$users" = "tarnexio " ] && ok "every program runs as tarnexio" || fail "the programs run as: $users"

host() { inside /usr/bin/tarnexio-host --wait-bridge 10 "127.0.0.1:239$1" bdaddr 2>&1; }
for b in 1 2; do
  said=$(host $b)
  [[ "$said" == *"BD_ADDR 00:BE:4C:00:00:0$b"* ]] && ok "bench$b serves a test host from its own controller" || fail "a host of bench$b: $said"
done

# The bench's own capture directory takes a capture per run, the file system around it
# read-only for the bridge.
captures=$(inside find /var/lib/tarnexio/bench1 -name 'tarnexio-*' -user tarnexio | wc -l)
[ "$captures" -ge 1 ] && ok "bench1's run captured in /var/lib/tarnexio/bench1" || fail "no capture in /var/lib/tarnexio/bench1"

# A stop while the bridge waits for a host is a normal end.
inside systemctl stop tarnexio@bench2
result="$(inside systemctl is-active tarnexio@bench2) $(inside systemctl show -p Result --value tarnexio@bench2)"
[ "$result" = "inactive success" ] && ok "tarnexio@bench2 stopped while waiting: $result" || fail "tarnexio@bench2 stopped while waiting: $result"

# A killed ftmd is started again, and its bridge with it.
inside bash -c 'kill -KILL $(systemctl show -p MainPID --value ftmd@bench1)'
said=$(host 1)
restarts=$(inside systemctl show -p NRestarts --value ftmd@bench1)
[[ "$said" == *"BD_ADDR 00:BE:4C:00:00:01"* ]] && [ "$restarts" = 1 ] && ok "ftmd@bench1 killed: restarted ($restarts), its bridge serves again" ||
  fail "after ftmd@bench1 was killed: restarts $restarts, host: $said"

inside journalctl --no-pager -o cat -u 'ftmd@*' -u 'tarnexio@*' >"$work/journal.txt"
[ "$failures" -eq 0 ] || { echo "the journal:"; cat "$work/journal.txt"; }
echo "benches under systemd: $failures failure(s)"
[ "$failures" -eq 0 ]
