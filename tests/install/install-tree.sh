#!/usr/bin/env bash
# `cmake --install` of a built tree into a scratch root (DESTDIR, the tree's own prefix
# below it): the programs, manual pages, documents, licence terms, bench units and example
# conf file land where they belong and nothing of the tests, fuzzers or benchmarks does;
# the installed programs run end to end, also as the bench units run them; removing every
# file the install recorded leaves nothing behind.
#
#   install-tree.sh BUILD_DIR
set -uo pipefail
build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=$(mktemp -d /tmp/tarnexio-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
prefix=$root$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
manifest=$root/manifest.txt

DESTDIR=$root cmake --install "$build" >"$root/install.log" 2>&1 || { cat "$root/install.log"; fail "cmake --install failed"; }
# cmake's record of the files it installed, at their paths below DESTDIR
sed "s|^|$root|" "$build/install_manifest.txt" >"$manifest"

for want in bin/Tarnexio bin/tarnexio-host sbin/ftmd share/man/man1/Tarnexio.1.gz share/man/man1/tarnexio-host.1.gz \
            share/man/man8/ftmd.8.gz share/doc/tarnexio/README.md share/doc/tarnexio/copyright \
            share/doc/tarnexio/tools/ftmd/README.md share/doc/tarnexio/docs/device-channel.md \
            etc/tarnexio/example.conf lib/systemd/system/ftmd@.service lib/systemd/system/tarnexio@.service \
            lib/sysusers.d/tarnexio.conf; do
  [ -f "$prefix/$want" ] || fail "$want is not installed"
done
grep -q 'License: Apache-2.0' "$prefix/share/doc/tarnexio/copyright" || fail "the copyright file names no licence"
# The three programs are the only executables outside the documents.
programs=$(cd "$prefix" && find . -type f -perm -u+x ! -path './share/doc/*' | sort | tr '\n' ' ')
[ "$programs" = "./bin/Tarnexio ./bin/tarnexio-host ./sbin/ftmd " ] || fail "installed executables: $programs"
zcat "$prefix/share/man/man8/ftmd.8.gz" | cmp -s - "$here/../../man/ftmd.8" || fail "ftmd.8.gz is not the page of the tree"

version=$(cat "$build/src/wire/generated/version.txt")
bash "$here/installed-run.sh" "$prefix/bin" "$prefix/sbin" "$version" || fail "the installed programs did not run end to end"
bash "$here/check-units.sh" "$root" || fail "the bench units did not run end to end"

# Uninstall by the record of the install: every file goes, then the directories it emptied.
xargs -d '\n' rm -f <"$manifest"
files=$(wc -l <"$manifest")
rm -f "$manifest" "$root/install.log"
find "$root" -mindepth 1 -depth -type d -empty -delete
[ -z "$(ls -A "$root")" ] || fail "left behind after removing what the install recorded: $(cd "$root" && find . | head)"
echo "ok   installed, ran and removed $files files"

