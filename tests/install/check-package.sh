#!/usr/bin/env bash
# The release packages: the Debian package passes lintian without errors, installs into a
# scratch root (its maintainer scripts too, on that root: DPKG_ROOT), creates its system
# user, its programs run end to end and report the package's version, every ExecStart of
# its units is in it, systemd-analyze verify finds nothing wrong with them (where systemd is
# installed), two benches run by its units serve a host each (check-units.sh), and purging
# it leaves nothing behind but its system user; the Windows zip holds the programs, the loop script (CR LF), README, licence and manual
# pages, and its programs report the same version under Wine and in their version resource.
#
#   check-package.sh DEB ZIP
set -uo pipefail
deb=$(realpath "$1") zip=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/tarnexio-package.XXXXXX)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEPREFIX=$work/wine
cleanup() {
  [ -d "$WINEPREFIX" ] && timeout 30 wineserver -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

version=$(dpkg-deb -f "$deb" Version)
[[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+(\+g[0-9a-f]+(-dirty)?)?$ ]] || fail "package version '$version'"

if lintian --fail-on error "$deb" >"$work/lintian.out" 2>&1; then
  ok "lintian: no errors ($(grep -c '^[WI]:' "$work/lintian.out") warnings and notes)"
else
  fail "lintian:"; cat "$work/lintian.out"
fi

# Install into a scratch root with dpkg itself, so that the purge is dpkg's too.
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --force-depends --force-not-root --force-script-chrootless --log=/dev/null "$@"; }
if dpkg_root -i "$deb" >"$work/dpkg.out" 2>&1; then
  ok "dpkg -i into a scratch root"
  bash "$here/installed-run.sh" "$root/usr/bin" "$root/usr/sbin" "$version" || fail "the installed programs"
  if command -v systemd-sysusers >/dev/null; then
    grep -q '^tarnexio:x:[0-9]*:[0-9]*:.*:/usr/sbin/nologin$' "$root/etc/passwd" && ok "the system user tarnexio" ||
      fail "no system user tarnexio: $(cat "$work/dpkg.out")"
  fi
  units=$(cd "$root" && find lib/systemd/system usr/lib/systemd/system -name '*.service' 2>/dev/null)
  [ -n "$units" ] || fail "no service units"
  for unit in $units; do
    for program in $(sed -n 's/^Exec[A-Za-z]*=[-@:+!]*\([^ ]*\).*/\1/p' "$root/$unit"); do
      [ -x "$root$program" ] && ok "$unit runs $program, which the package holds" || fail "$unit runs $program, which the package does not hold"
    done
  done
  if command -v systemd-analyze >/dev/null; then
    # Templates are verified as instances; nothing of the system is there but the package.
    instances=$(for unit in $units; do basename "$unit" | sed 's/@\./@check./'; done)
    # shellcheck disable=SC2086
    if systemd-analyze verify --man=no --recursive-errors=no --root="$root" $instances >"$work/verify.out" 2>&1; then
      ok "systemd-analyze verify:" $instances
    else
      fail "systemd-analyze verify:"; cat "$work/verify.out"
    fi
  fi
  timeout 120 bash "$here/check-units.sh" "$root" || fail "the bench units"
  for page in "$root"/usr/share/man/man*/*.gz; do
    warnings=$(zcat "$page" | groff -ww -z -man 2>&1)
    [ -z "$warnings" ] || fail "$page: $warnings"
  done
  dpkg_root --purge tarnexio >>"$work/dpkg.out" 2>&1 || fail "dpkg --purge"
  # The system user stays, as Debian leaves system users: the account files are not counted.
  left=$(cd "$root" && find . -mindepth 1 ! -path './var' ! -path './var/lib' ! -path './var/lib/dpkg' ! -path './var/lib/dpkg/*' \
    ! -path ./etc ! -regex '\./etc/\(\.pwd\.lock\|passwd\|group\|shadow\|gshadow\)-?')
  [ -z "$left" ] && ok "purged, nothing left behind" || fail "left behind after the purge: $left"
else
  fail "dpkg -i"; cat "$work/dpkg.out"
fi

# The Windows zip.
mkdir -p "$work/zip" && unzip -q "$zip" -d "$work/zip"
top=$(find "$work/zip" -mindepth 1 -maxdepth 1 -type d)
for want in Tarnexio.exe tarnexio-host.exe tarnexio-loop.cmd README.md LICENSE manual/Tarnexio.1.txt manual/tarnexio-host.1.txt; do
  [ -f "$top/$want" ] || fail "the zip has no $want"
done
# cmd.exe reads labels and goto reliably only in a script with CR LF line ends.
loop=$top/tarnexio-loop.cmd
[ -f "$loop" ] && [ "$(grep -c $'\r$' "$loop")" = "$(wc -l <"$loop")" ] && ok "tarnexio-loop.cmd: CR LF line ends" ||
  fail "the zip's tarnexio-loop.cmd has lines without CR LF"
grep -q 'Apache License' "$top/LICENSE" || fail "the zip's LICENSE is not the licence"
[[ "$(basename "$zip")" == *"-$version-"* ]] || fail "the zip's name does not carry $version"
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine=$(command -v wine)
timeout 120 "$wine" wineboot -i >/dev/null 2>&1
for exe in Tarnexio tarnexio-host; do
  line=$(timeout 60 "$wine" "$top/$exe.exe" --version 2>/dev/null | head -1 | tr -d '\r')
  [ "$line" = "$exe $version" ] && ok "$exe.exe --version under Wine: $line" || fail "$exe.exe --version says '$line', not '$exe $version'"
  resource=$(strings -el "$top/$exe.exe" | grep -A1 -x ProductVersion | tail -1)
  [ "$resource" = "$version" ] && ok "$exe.exe version resource: $resource" || fail "$exe.exe version resource '$resource'"
done

echo "packages of $version: $failures failure(s)"
[ "$failures" -eq 0 ]
