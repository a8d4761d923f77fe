#!/usr/bin/env bash
# Builds the stub and its tests against the loopback test servers and runs every
# test under Wine: the unit tests and the end-to-end scenarios; before them the
# format check, the clang build with clang-tidy, tessaloom-publish with its
# scenarios and a short run of each fuzz target. Prints each step's time, and
# all of them at the end.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

times=()
started=$SECONDS
current=""
# Runs one step and keeps its time; a failing step ends the run with its status.
step() {
  local name=$1 begun=$SECONDS
  shift
  echo "== $name"
  current=$name
  "$@"
  times+=("$(printf '%5d s  %s' $((SECONDS - begun)) "$name")")
  echo "== $name: $((SECONDS - begun)) s"
}
print_times() {
  local status=${1:-$?}
  [ ${#times[@]} -gt 0 ] || exit "$status"
  echo "Step times:"
  printf '  %s\n' "${times[@]}"
  echo "  total $((SECONDS - started)) s$([ "$status" -eq 0 ] || echo ", ended by a failure in: $current")"
  exit "$status"
}
trap print_times EXIT

# The packages once; the builds below need not ask apt again.
step "dependencies" "$root/scripts/install-deps.sh"
export STUB_DEPS_CHECKED=1
step "tests build" "$root/scripts/build-presets.sh" --log "$root/build/tests-build.log" tests

# Every C++ file in the house style; the same sources with clang (warnings are
# errors), and clang-tidy over src/.
step "format" "$root/scripts/check-format.sh"
step "clang build and clang-tidy" "$root/scripts/check-clang.sh"

# The publisher's command, built natively from the same portable sources, and
# its scenarios (loopback servers on free ports).
step "publisher build" "$root/scripts/build-presets.sh" --log "$root/build/publish-build.log" publish
step "publisher tests" ctest --test-dir "$root/build/publish" --output-on-failure --timeout 600

build="$root/build/tests"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
step "test prefix" "$root/scripts/prepare-test-prefix.sh" "$build"

# A short run of each native fuzz target, side by side.
step "fuzz" "$root/scripts/fuzz.sh" 15

# A persistent Wine server, detached from ctest's pipes, keeps each test's Wine
# start short; it is ended when the run ends, whatever the outcome.
stop_wine() { wineserver -k >/dev/null 2>&1 || true; }
trap 'status=$?; stop_wine; print_times "$status"' EXIT
step "Wine session" "$root/scripts/start-wine-session.sh" "$build"

# Every stub run of the scenarios leaves its exit status and Wine's standard
# error in build/tests/e2e-runs.log.
rm -f "$build/e2e-runs.log"
step "unit tests and scenarios" ctest --test-dir "$build" --output-on-failure --timeout 900 -j 2 "$@"
