#!/usr/bin/env bash
# Runs the second lane of scenarios (the tests labelled lane-2) with its own
# Wine prefix and session in build/tests/lane-2, as scripts/test.sh does beside
# the first lane. With --own-loopback it is already in a network namespace of
# its own (unshare) and brings that namespace's loopback up first: the test
# ports are compiled in, and the lanes would otherwise take each other's.
#   scripts/run-lane.sh [--own-loopback] BUILD_DIR [CTEST_ARGS...]
set -uo pipefail
own_loopback=0
if [ "${1:-}" = --own-loopback ]; then own_loopback=1; shift; fi
build=$(cd "${1:?usage: run-lane.sh [--own-loopback] BUILD_DIR [CTEST_ARGS...]}" && pwd)
shift
root="$(cd "$(dirname "$0")/.." && pwd)"
if [ "$own_loopback" -eq 1 ]; then
  ip link set lo up || { echo "run-lane.sh: the namespace's loopback could not be brought up" >&2; exit 2; }
fi
export WINEPREFIX="$build/lane-2/wineprefix" WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
# A server of this prefix left from an earlier run lives in another namespace:
# its programs would open their connections there.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
"$root/scripts/prepare-test-prefix.sh" "$build" "$build/lane-2" >/dev/null || {
  echo "run-lane.sh: the second lane's prefix could not be prepared" >&2
  exit 2
}
"$root/scripts/start-wine-session.sh" "$build" >/dev/null || exit 2
rm -f "$build/lane-2/e2e-runs.log" "$build/lane-2/e2e-case-times.txt"
ctest --test-dir "$build" --output-on-failure --timeout 900 -L lane-2 "$@"
status=$?
wineserver -k >/dev/null 2>&1 || true
exit $status
