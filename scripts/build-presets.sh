#!/usr/bin/env bash
# The first step of every entry point: installs what the build and the tests
# need (scripts/install-deps.sh, idempotent; skipped when the caller has run it
# and set STUB_DEPS_CHECKED=1), then configures and builds each CMake preset
# named, in order. With --log FILE a build's output goes to FILE
# and is shown only when it fails; without, the build's output is shown.
#
#   scripts/build-presets.sh [--log FILE] PRESET...
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
log=""
if [ "${1:-}" = --log ]; then
  log="$2"
  shift 2
fi
[ $# -ge 1 ] || { echo "usage: $0 [--log FILE] PRESET..." >&2; exit 2; }
cd "$root"
[ "${STUB_DEPS_CHECKED:-}" = 1 ] || "$root/scripts/install-deps.sh" >/dev/null
mkdir -p "$root/build"
for preset in "$@"; do
  if [ -z "$log" ]; then
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --parallel "$(nproc)"
  elif ! { cmake --preset "$preset" && cmake --build --preset "$preset" --parallel "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "the '$preset' build failed (log: $log)" >&2
    exit 1
  fi
done
