#!/usr/bin/env bash
# Each program's --help against its manual page: every option the help names has an entry
# (a .TP tag) under OPTIONS in the page, and every entry there is an option the help names;
# tarnexio-host's steps likewise under STEPS. Every page formats without a warning.
#
#   check-manuals.sh BIN_DIR MAN_DIR
set -uo pipefail
bin=$1 man=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The tags of the .TP entries under section $2 of page $1, as plain text.
tags() {
  awk -v section="$2" '
    /^\.SH/ { inside = ($0 == ".SH " section); next }
    inside && tag { print; tag = 0; next }
    inside && /^\.TP/ { tag = 1 }' "$1" |
    sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/"//g' -e 's/^\.[A-Z]* //'
}
options_of() { grep -oE '(^|[][[:space:],|])--?[A-Za-z][A-Za-z0-9-]*' | sed 's/^[^-]*//' | sort -u; }
# Step names: lower-case words, not the placeholders (upper case) nor the notes in brackets.
steps_of() { sed 's/([^)]*)//g' | tr -s ' \t,' '\n\n\n' | grep -E '^[a-z][a-z0-9-]*$' | sort -u; }

# compare WHAT PROGRAM PAGE SECTION HELP_LIST PAGE_LIST
compare() {
  local what=$1 program=$2 page=$3 section=$4 help=$5 listed=$6
  [ -n "$help" ] || fail "found no ${what}s in '$program --help' (has its layout changed? see tests/install/check-manuals.sh)"
  for item in $(comm -23 <(echo "$help") <(echo "$listed")); do
    fail "'$program --help' names the $what $item, but $page has no entry for it under $section: add a '.TP' line and then '.B ${item//-/\\-}' (or '.BI ${item//-/\\-} \" ARG\"') with a description there"
  done
  for item in $(comm -13 <(echo "$help") <(echo "$listed")); do
    fail "$page lists the $what $item under $section, but '$program --help' does not name it"
  done
}

for entry in "Tarnexio Tarnexio.1" "ftmd ftmd.8" "tarnexio-host tarnexio-host.1"; do
  set -- $entry
  program=$1 page=$man/$2
  [ -x "$bin/$program" ] || { fail "$bin/$program is not built"; continue; }
  [ -f "$page" ] || { fail "$page is missing"; continue; }
  help=$("$bin/$program" --help)
  compare option "$program" "$page" OPTIONS "$(options_of <<<"$help")" "$(tags "$page" OPTIONS | options_of)"
  if [ "$program" = tarnexio-host ]; then
    help_steps=$(awk '/^steps:/ { inside = 1; sub(/^steps:/, "") } inside && /^[^ \t]/ && !/^steps:/ { exit } inside' <<<"$help" |
                 sed 's/^steps://' | steps_of)
    compare step "$program" "$page" STEPS "$help_steps" "$(tags "$page" STEPS | steps_of)"
  fi
  warnings=$(groff -ww -z -man "$page" 2>&1)
  [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
  for heading in NAME SYNOPSIS DESCRIPTION OPTIONS ENVIRONMENT FILES "EXIT STATUS" EXAMPLES "SEE ALSO"; do
    grep -qx "\.SH \"\?$heading\"\?" "$page" || fail "$page has no $heading section"
  done
done
echo "manual pages: $failures failure(s)"
[ "$failures" -eq 0 ]
