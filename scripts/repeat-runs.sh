#!/usr/bin/env bash
# Many runs of the stub's whole job in a row (not part of scripts/test.sh):
#   scripts/repeat-runs.sh rate [N]   failure rate of a short successful run (default 300)
#   scripts/repeat-runs.sh soak [N]   N runs of the three outcomes (default 1000): leftovers,
#                                     growth of handles and memory, time per run
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/build-presets.sh" --log "$root/build/tests-build.log" tests
build="$root/build/tests"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all STUB_BUILD_DIR="$build" STUB_SOURCE_DIR="$root"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
"$root/scripts/prepare-test-prefix.sh" "$build" >/dev/null
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
"$root/scripts/start-wine-session.sh" "$build" >/dev/null
python3 "$root/scripts/repeat-runs.py" "$@"
