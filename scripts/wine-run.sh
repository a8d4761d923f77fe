#!/usr/bin/env bash
# Runs a Windows program under Wine in the private prefix of its build folder
# (the folder holding CMakeCache.txt above the program), creating the prefix on
# first use: 64-bit, Wine's own messages silenced, the null graphics driver
# (real windows that are never drawn). WINEPREFIX, when set, wins.
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }
program=$1
shift

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run.sh: no build folder above $program" >&2; exit 2; }
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine's WinHTTP honours these; no test may go through a proxy by accident.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

if [ ! -f "$WINEPREFIX/.stub-prefix-ready" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$WINEPREFIX/.stub-prefix-ready" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.stub-prefix-ready"
  fi
  flock -u 9
  exec 9>&-
fi

exec wine "$program" "$@"
