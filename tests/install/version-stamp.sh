#!/usr/bin/env bash
# The version stamp of a source tree: plain without git, the revision in a checkout of its
# own, -dirty with changes to tracked files (not with untracked ones), plain again for a
# tree that merely lies inside another repository; a stamp rewritten only when it changes.
#
#   version-stamp.sh STAMP_SCRIPT
set -uo pipefail
script=$(realpath "$1")
work=$(mktemp -d /tmp/tarnexio-stamp.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
stamp() {  # source dir -> the version it gets
  cmake -DBASE=1.3.0 -DSOURCE="$1" -DOUT_H="$work/v.h" -DOUT_TXT="$work/v.txt" -P "$script" && cat "$work/v.txt"
}
expect() {  # what, want, got
  if [[ "$3" =~ ^$2$ ]]; then echo "ok   $1: $3"; else echo "FAIL $1: '$3' does not match '$2'"; failures=$((failures + 1)); fi
}
git_in() { git -C "$1" -c user.name=t -c user.email=t@t "${@:2}" >/dev/null 2>&1; }

mkdir -p "$work/plain" && echo x >"$work/plain/f"
expect "no git" '1\.3\.0' "$(stamp "$work/plain")"

mkdir -p "$work/repo" && echo x >"$work/repo/f"
git_in "$work/repo" init -q && git_in "$work/repo" add f && git_in "$work/repo" commit -qm one
rev=$(git -C "$work/repo" rev-parse --short=7 HEAD)
expect "clean checkout" "1\\.3\\.0\\+g$rev" "$(stamp "$work/repo")"
echo y >"$work/repo/new"
expect "untracked file" "1\\.3\\.0\\+g$rev" "$(stamp "$work/repo")"
before=$(stat -c %.9Y "$work/v.h")
stamp "$work/repo" >/dev/null
[ "$(stat -c %.9Y "$work/v.h")" = "$before" ] && echo "ok   unchanged stamp not rewritten" ||
  { echo "FAIL the unchanged stamp was rewritten"; failures=$((failures + 1)); }
echo z >>"$work/repo/f"
expect "changed tracked file" "1\\.3\\.0\\+g$rev-dirty" "$(stamp "$work/repo")"
grep -q "TARNEXIO_VERSION_STRING \"1.3.0+g$rev-dirty\"" "$work/v.h" || { echo "FAIL header"; failures=$((failures + 1)); }
git_in "$work/repo" commit -qam two
expect "new commit" "1\\.3\\.0\\+g$(git -C "$work/repo" rev-parse --short=7 HEAD)" "$(stamp "$work/repo")"

mkdir -p "$work/repo/vendored/tree"
expect "tree inside another repository" '1\.3\.0' "$(stamp "$work/repo/vendored/tree")"
[ "$failures" -eq 0 ]
