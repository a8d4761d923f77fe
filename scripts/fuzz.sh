#!/usr/bin/env bash
# Builds the native fuzz targets (preset 'fuzz') and runs them, one per core,
# each for SECONDS (default 60) on its own copy of the seed corpus in
# build/fuzz/run/<target>, which grows from run to run; the committed corpus
# under fuzz/corpus is only read. Exits non-zero when any target reports a
# crash, a sanitizer finding, a broken property, a time-out or too much memory,
# after printing the report.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
seconds="${1:-60}"
case "$seconds" in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="$root/build/fuzz"
"$root/scripts/build-presets.sh" --log "$root/build/fuzz-build.log" fuzz

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"

# Target, the longest input it gets, and further options. Header blocks and
# pages of a few kilobytes; a pattern of 64 bytes and some text, where inputs
# whose backtracking runs into the matcher's step limit (seconds each under
# the sanitizers) get less of the time than quick ones; documents long enough
# to nest deeper than the parser allows.
targets=(
  "find_matches 4096"
  "regexp 1024 -entropic_scale_per_exec_time=1"
  "config_document 8192"
  "crc32 4096"
  "progress_line 2048"
  "transfer_headers 2048"
)

# One target's run; its summary or its report goes to its work folder's
# result file, and its status is its own.
fuzz_target() {
  local name=$1 max_len=$2 options=$3
  local work="$build/run/$name"
  mkdir -p "$work/corpus" "$work/artifacts"
  rm -f "$work/result.txt"
  cp "$root/fuzz/corpus/$name/"* "$work/corpus/"
  local extra=(${options:-})
  if [ -f "$root/fuzz/$name.dict" ]; then extra+=(-dict="$root/fuzz/$name.dict"); fi
  local log="$work/fuzz.log"
  if "$build/bin/fuzz_$name" "$work/corpus" "${extra[@]}" \
      -max_len="$max_len" -max_total_time="$seconds" \
      -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/artifacts/" >"$log" 2>&1; then
    local runs speed last
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+' || true)
    echo "fuzz_$name: ${runs:-?} runs in ${seconds} s, ${speed:-?} exec/s, ${last:-no coverage line}" >"$work/result.txt"
    return 0
  fi
  {
    echo "fuzz_$name FAILED (log: $log)"
    # The report: from the first finding to the end, or the end of the log.
    awk '/==[0-9]+==ERROR|runtime error:|property violated|ALARM:|out-of-memory|deadly signal/ { on = 1 } on' "$log" >"$work/report.txt"
    if [ -s "$work/report.txt" ]; then cat "$work/report.txt"; else tail -n 60 "$log"; fi
    ls "$work/artifacts/" | sed 's/^/  input: /'
  } >"$work/result.txt"
  return 1
}

# As many targets at once as the machine has cores: each keeps a core to
# itself, so its time-out means what it says.
jobs=$(nproc)
for entry in "${targets[@]}"; do
  read -r name max_len options <<<"$entry"
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  fuzz_target "$name" "$max_len" "${options:-}" &
done
wait
status=0
for entry in "${targets[@]}"; do
  read -r name _ <<<"$entry"
  result="$build/run/$name/result.txt"
  if [ ! -s "$result" ] || grep -q '^fuzz_.* FAILED' "$result"; then status=1; fi
  cat "$result" 2>/dev/null || echo "fuzz_$name: no result"
done
exit "$status"
