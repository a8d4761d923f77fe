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

# A build folder configured with another toolchain than its preset now names
# (the stub's compiler changed) is configured afresh: CMake can't switch the
# compiler of a configured folder.
preset_toolchain() {
  python3 - "$root" "$1" <<'PY'
import json, sys
root, name = sys.argv[1:]
presets = {p["name"]: p for p in json.load(open(root + "/CMakePresets.json"))["configurePresets"]}
def field(preset, key):
    if key in preset:
        return preset[key]
    for parent in ([preset["inherits"]] if isinstance(preset.get("inherits"), str) else preset.get("inherits", [])):
        value = field(presets[parent], key)
        if value:
            return value
    return ""
preset = presets[name]
print(field(preset, "binaryDir").replace("${sourceDir}", root), field(preset, "toolchainFile").replace("${sourceDir}", root))
PY
}
fresh_option() {
  local dir toolchain cached
  read -r dir toolchain < <(preset_toolchain "$1")
  [ -f "$dir/CMakeCache.txt" ] || return 0
  cached=$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  [ "$cached" = "$toolchain" ] || echo --fresh
}

for preset in "$@"; do
  fresh=$(fresh_option "$preset")
  if [ -z "$log" ]; then
    cmake --preset "$preset" $fresh >/dev/null
    cmake --build --preset "$preset" --parallel "$(nproc)"
  elif ! { cmake --preset "$preset" $fresh && cmake --build --preset "$preset" --parallel "$(nproc)"; } >"$log" 2>&1; then
    cat "$log"
    echo "the '$preset' build failed (log: $log)" >&2
    exit 1
  fi
done
