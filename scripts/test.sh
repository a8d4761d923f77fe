#!/usr/bin/env bash
# Builds the stub and its tests against the loopback test servers and runs every
# test under Wine: the unit tests and the end-to-end scenarios (in two lanes
# side by side); before them the format check, the clang build with clang-tidy,
# tessaloom-publish with its scenarios and a short run of each fuzz target.
# Prints each step's time, and all of them at the end.
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

# The scenarios run in two lanes side by side, each with its own Wine prefix,
# session and desktop: the first here with the unit tests, the second (the
# tests labelled lane-2) in a network namespace of its own, since the test
# ports are compiled in. Where no namespace can be made, the second lane runs
# after the first, and says so.
namespace=(unshare -n)
[ "$(id -u)" -eq 0 ] || namespace=(unshare -rn)
if ! "${namespace[@]}" true 2>/dev/null; then
  echo "test.sh: no network namespace can be made here; the second lane of scenarios runs after the first"
  namespace=()
fi
lane2_out="$build/lane-2.out"
lane2_pid=""

# A persistent Wine server, detached from ctest's pipes, keeps each test's Wine
# start short; each lane's is ended when the run ends, whatever the outcome.
stop_wine() {
  [ -z "$lane2_pid" ] || kill "$lane2_pid" >/dev/null 2>&1 || true
  wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX="$build/lane-2/wineprefix" wineserver -k >/dev/null 2>&1 || true
}
trap 'status=$?; stop_wine; print_times "$status"' EXIT
step "Wine session" "$root/scripts/start-wine-session.sh" "$build"

# Every stub run of the scenarios leaves its exit status and Wine's standard
# error in build/tests/e2e-runs.log (the second lane's in build/tests/lane-2).
rm -f "$build/e2e-runs.log" "$build/e2e-case-times.txt" "$build/lane-2/e2e-case-times.txt"
# The slowest scenario cases of both lanes: where the time goes.
print_case_times() {
  echo "== the slowest scenario cases:"
  # awk reads to the end: head would leave sort writing into a closed pipe,
  # and pipefail would make that a failure of the run.
  cat "$build/e2e-case-times.txt" "$build/lane-2/e2e-case-times.txt" 2>/dev/null | sort -rn | awk 'NR <= 15'
}
run_lanes() {
  local status=0 lane2_status=0 begun=$SECONDS
  if [ ${#namespace[@]} -gt 0 ]; then
    "${namespace[@]}" "$root/scripts/run-lane.sh" --own-loopback "$build" "$@" >"$lane2_out" 2>&1 &
    lane2_pid=$!
  fi
  ctest --test-dir "$build" --output-on-failure --timeout 900 -j 2 -LE lane-2 "$@" || status=$?
  echo "== first lane: $((SECONDS - begun)) s"
  if [ -n "$lane2_pid" ]; then
    wait "$lane2_pid" || lane2_status=$?
    lane2_pid=""
    echo "== second lane (its own network namespace), ended $((SECONDS - begun)) s after both began:"
    cat "$lane2_out"
  else
    "$root/scripts/run-lane.sh" "$build" "$@" || lane2_status=$?
  fi
  print_case_times
  [ "$status" -ne 0 ] && return "$status"
  return "$lane2_status"
}
step "unit tests and scenarios" run_lanes "$@"
