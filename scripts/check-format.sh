#!/usr/bin/env bash
# Checks that every C++ source of the project is formatted as .clang-format
# says, with the clang-format of the installed clang's major version (another
# version may break lines differently). Lists the files that are not, with the
# command that formats them, and exits non-zero. With --fix, formats them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
major=$(clang -dumpversion | cut -d. -f1)
format=$(command -v "clang-format-$major" || true)
[ -n "$format" ] || { echo "clang-format-$major not found: install the Debian package clang-format-$major (scripts/install-deps.sh)" >&2; exit 1; }

mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.cc')
if [ "${1:-}" = "--fix" ]; then
  "$format" -i "${files[@]}"
  exit 0
fi
unformatted=()
for file in "${files[@]}"; do
  "$format" --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -ne 0 ]; then
  printf '%s\n' "${unformatted[@]}" >&2
  echo "clang-format-$major: ${#unformatted[@]} of ${#files[@]} files are not formatted; scripts/check-format.sh --fix formats them" >&2
  exit 1
fi
echo "clang-format-$major: ${#files[@]} files formatted"
