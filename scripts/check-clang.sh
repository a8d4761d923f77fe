#!/usr/bin/env bash
# The second compiler and the static analyser. The stub ships built by clang
# and lld; this builds it with GCC and GNU ld too (preset 'windows-gcc',
# build/windows-gcc), so that the code stays free of what only one compiler
# accepts, and with clang, the project's warnings made errors (preset 'clang',
# build/clang), then runs clang-tidy of the same major version over src/ with
# the checks of .clang-tidy, driven by that build's compile database. Prints
# every finding and exits non-zero when a build or any file fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
build="$root/build/clang"
jobs="$(nproc)"

"$root/scripts/build-presets.sh" --log "$root/build/gcc-build.log" windows-gcc
echo "GCC build: windows-gcc/bin/tessaloom_setup.exe"
"$root/scripts/build-presets.sh" --log "$root/build/clang-build.log" clang
echo "clang build: $(basename "$build")/bin/tessaloom_setup.exe, no warnings"

major=$(clang -dumpversion | cut -d. -f1)
tidy=$(command -v "clang-tidy-$major" || true)
[ -n "$tidy" ] || { echo "clang-tidy-$major not found: install the Debian package clang-tidy-$major (scripts/install-deps.sh)" >&2; exit 1; }

# One log per file; only the failing ones are shown, without the count of
# suppressed warnings from the headers. A file found clean is not analysed
# again while nothing it may depend on has changed: its digest covers the
# file, every header of src/, the checks, clang-tidy's version and the file's
# compile command.
logs="$build/tidy"
cache="$build/tidy-clean"
rm -rf "$logs"
mkdir -p "$logs" "$cache"
common=$( { "$tidy" --version; cat "$root/.clang-tidy"; find "$root/src" -name '*.h' | sort | xargs cat; } | sha256sum | cut -d' ' -f1)
find "$root/src" -name '*.cpp' | sort >"$logs/files"
python3 - "$build/compile_commands.json" "$common" "$cache" "$logs/files" >"$logs/todo" <<'PY'
import hashlib, json, os, sys
database, common, cache, files = sys.argv[1:]
commands = {e['file']: e.get('command') or ' '.join(e['arguments']) for e in json.load(open(database))}
for file in open(files).read().split():
    with open(file, 'rb') as source:
        digest = hashlib.sha256(f'{common}\n{commands.get(file, "")}\n'.encode() + source.read()).hexdigest()
    if not os.path.exists(os.path.join(cache, digest)):
        print(file, digest)
PY
export tidy build logs cache
xargs -r -P "$jobs" -L 1 sh -c \
  'log="$logs/$(echo "$1" | tr / _).log"; if "$tidy" -p "$build" --quiet "$1" >"$log" 2>&1; then touch "$cache/$2"; else echo "$1" >>"$logs/failed"; fi' \
  _ <"$logs/todo"
count=$(wc -l <"$logs/files")
analysed=$(wc -l <"$logs/todo")
if [ -s "$logs/failed" ]; then
  while read -r file; do
    grep -v ' warnings\? generated\.$' "$logs/$(echo "$file" | tr / _).log"
  done <"$logs/failed"
  echo "clang-tidy: findings in $(wc -l <"$logs/failed") of $count files" >&2
  exit 1
fi
echo "clang-tidy-$major: $count files of src/, no findings ($analysed analysed, the others unchanged since found clean)"
