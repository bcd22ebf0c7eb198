#!/usr/bin/env bash
# Runs Tarnexio.exe under Wine for the command-line errors and the run without a driver,
# checking the console text and the exit codes. Wine's console ends lines with CR LF; the
# checks compare text with the CRs removed.
set -uo pipefail
exe=$(realpath "$1")
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX=$(mktemp -d /tmp/tarnexio-wine.XXXXXX)
cleanup() { WINEPREFIX=$WINEPREFIX timeout 30 wineserver -k 2>/dev/null; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
timeout 120 "$wine" wineboot -i >/dev/null 2>&1 || true

failures=0

usage=$'Usage:\n\tTarnexio.exe -p port -m mode\nExample:\n\tUse with Travik/Zendrel: Tarnexio.exe -p 2390 -m diag\n\tUse with Pellor:      Tarnexio.exe -p 2390 -m raw'
# The version the program reports for itself; every run names it in its first line.
version=$(timeout 60 "$wine" "$exe" --version 2>/dev/null | head -1 | tr -d '\r')
version=${version#Tarnexio }
nodriver="BTFTM : Tarnexio version $version"$'\nFtmApp:InitiateStruct++\nFtmApp:InitiateStruct--\nBTFTM : opening FTM Driver handle\nBTFTM : FTM Driver handle Open Failed\nBTFTM : Cleaning all resources\nBTFTM : All resources are freed\nBTFTM : Coming out of main loop'

check_case() {  # name, expected code, expected text, args...
  local name=$1 want_code=$2 want=$3; shift 3
  local out code
  out=$(timeout 60 "$wine" "$exe" "$@" 2>/dev/null)
  code=$?
  out=$(printf '%s' "$out" | tr -d '\r')
  if [ "$out" != "$want" ] || [ "$code" != "$want_code" ]; then
    echo "FAIL $name: exit $code (want $want_code)"; diff <(printf '%s\n' "$want") <(printf '%s\n' "$out") | head -20
    failures=$((failures + 1))
  else
    echo "ok   $name"
  fi
}

help=$(timeout 60 "$wine" "$exe" --help 2>/dev/null | tr -d '\r')
if [[ "$version" =~ ^[0-9]+\.[0-9]+\.[0-9]+ ]] && [ "$help" = "$(timeout 60 "$wine" "$exe" --version 2>/dev/null | tr -d '\r')" ] &&
   [[ "$help" == "Tarnexio $version"$'\n'"$usage"* ]]; then
  echo "ok   --version and --help ($version)"
else
  echo "FAIL --version and --help: '$version'"; printf '%s\n' "$help" | head -20
  failures=$((failures + 1))
fi
check_case "no arguments" 255 "$usage"
check_case "wrong flag" 255 "$usage" -P 2390 -m raw
check_case "six arguments" 255 "$usage" -p 2390 -m raw x
check_case "bad port" 255 "The input port number is invalid" -p abc -m raw
check_case "port with low 16 bits zero" 255 "The input port number is invalid" -p 65536 -m raw
check_case "bad mode" 255 "The input mode is invalid" -p 2390 -m Diag
check_case "no driver, raw" 1 "$nodriver" -p 2390 -m raw
check_case "no driver, diag" 1 "$nodriver" -p 2390 -m diag

check_case "--version beside other arguments" 255 "$usage" --version -p 2390 -m raw
echo "$((10 - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
