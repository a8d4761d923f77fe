#!/usr/bin/env bash
# The second compiler and the static analyser. Builds the stub with clang and
# lld for the MinGW target, the project's warnings made errors (preset 'clang',
# build/clang), then runs clang-tidy of the same major version over src/ with
# the checks of .clang-tidy, driven by that build's compile database. Prints
# every finding and exits non-zero when the build or any file fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="$root/build/clang"
jobs="$(nproc)"

"$root/scripts/build-presets.sh" --log "$root/build/clang-build.log" clang
echo "clang build: $(basename "$build")/bin/tessaloom_setup.exe, no warnings"

major=$(clang -dumpversion | cut -d. -f1)
tidy=$(command -v "clang-tidy-$major" || true)
[ -n "$tidy" ] || { echo "clang-tidy-$major not found: install the Debian package clang-tidy-$major (scripts/install-deps.sh)" >&2; exit 1; }

# One log per file; only the failing ones are shown, without the count of
# suppressed warnings from the headers.
logs="$build/tidy"
rm -rf "$logs"
mkdir -p "$logs"
find "$root/src" -name '*.cpp' | sort >"$logs/files"
export tidy build logs
xargs -P "$jobs" -I{} sh -c \
  'log="$logs/$(echo "$1" | tr / _).log"; "$tidy" -p "$build" --quiet "$1" >"$log" 2>&1 || echo "$1" >>"$logs/failed"' \
  _ {} <"$logs/files"
count=$(wc -l <"$logs/files")
if [ -s "$logs/failed" ]; then
  while read -r file; do
    grep -v ' warnings\? generated\.$' "$logs/$(echo "$file" | tr / _).log"
  done <"$logs/failed"
  echo "clang-tidy: findings in $(wc -l <"$logs/failed") of $count files" >&2
  exit 1
fi
echo "clang-tidy-$major: $count files of src/, no findings"
