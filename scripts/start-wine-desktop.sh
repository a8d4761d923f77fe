#!/usr/bin/env bash
# Starts Wine's desktop in the prefix of a test build folder (or WINEPREFIX) and
# waits, at most SECONDS (default 60), until its shell answers: the first test
# that opens a page through the desktop's shell would otherwise find its class
# not yet registered. Wine's console programs start no desktop. The helper's
# output goes to a file: the desktop it starts inherits it, and a pipe would
# keep the caller waiting for the desktop's end.
#   scripts/start-wine-desktop.sh BUILD_DIR [SECONDS]
set -euo pipefail
build=$(cd "${1:?usage: start-wine-desktop.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
# Beside the prefix: each lane of scenarios has its own.
out="$(dirname "$WINEPREFIX")/desktop-start.txt"
# Wine closes its desktop about a second after the last program on it ends;
# a keeper holds it, and its shell, for the rest of the session, as Windows'
# shell stays (one keeper per session; it ends with the Wine server).
setsid "$root/scripts/wine-run.sh" "$build/bin/stub_test_helper.exe" keep-desktop </dev/null >/dev/null 2>&1 &
status=0
timeout $((seconds + 30)) setsid "$root/scripts/wine-run.sh" "$build/bin/stub_test_helper.exe" wait-shell "$seconds" \
  </dev/null >"$out" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
  echo "start-wine-desktop.sh: the desktop's shell did not answer (status $status): $(cat "$out")" >&2
  # What ran in this prefix then, for the one who reads the failure.
  for proc in /proc/[0-9]*; do
    if cat "$proc/environ" 2>/dev/null | tr '\0' '\n' | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "  ${proc#/proc/} $(ps -o etime= -p "${proc#/proc/}") $(tr '\0' ' ' <"$proc/cmdline" 2>/dev/null)" >&2
    fi
  done
  exit 1
fi
echo "Wine's desktop answers: $(tail -n 1 "$out")"
