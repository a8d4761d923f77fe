#!/usr/bin/env bash
# Builds the stub for the loopback demo servers and runs it under Wine in a
# demo prefix of its own, then prints the stub's log.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/install-deps.sh" >/dev/null
cmake --preset demo >/dev/null
cmake --build --preset demo >/dev/null

build="$root/build/demo"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
log="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Pexmira/QMXT.log"
before=0
[ -f "$log" ] && before=$(stat -c %s "$log")
status=0
timeout 300 "$root/scripts/wine-run.sh" "$build/bin/tessaloom_setup.exe" "$@" >/dev/null || status=$?
echo "Stub exit status: $status"
echo "Stub log ($log):"
tail -c +"$((before + 1))" "$log" | tr -d '\r'
wineserver -k >/dev/null 2>&1 || true
