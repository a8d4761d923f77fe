#!/usr/bin/env bash
# Builds the stub and its tests against the loopback test servers and runs every
# test under Wine: the unit tests and the end-to-end scenarios; before them the
# format check, the clang build with clang-tidy, tessaloom-publish with its
# scenarios and a short run of each fuzz target.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/build-presets.sh" tests

# Every C++ file in the house style; the same sources with clang (warnings are
# errors), and clang-tidy over src/.
"$root/scripts/check-format.sh"
"$root/scripts/check-clang.sh"

# The publisher's command, built natively from the same portable sources, and
# its scenarios (loopback servers on free ports).
"$root/scripts/build-presets.sh" publish
ctest --test-dir "$root/build/publish" --output-on-failure --timeout 600

build="$root/build/tests"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
"$root/scripts/prepare-test-prefix.sh" "$build"

# A short run of each native fuzz target.
"$root/scripts/fuzz.sh" 15

# A persistent Wine server, detached from ctest's pipes, keeps each test's Wine
# start short; it is ended when the run ends, whatever the outcome.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
setsid wineserver -p </dev/null >/dev/null 2>&1 &
setsid wine cmd /c exit </dev/null >/dev/null 2>&1 || true

# Every stub run of the scenarios leaves its exit status and Wine's standard
# error in build/tests/e2e-runs.log.
rm -f "$build/e2e-runs.log"
ctest --test-dir "$build" --output-on-failure --timeout 900 -j 2 "$@"

