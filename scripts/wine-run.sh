#!/usr/bin/env bash
# Runs a Windows program under Wine in the private prefix of its build folder
# (the folder holding CMakeCache.txt above the program), creating the prefix on
# first use: 64-bit with the 32-bit part (WoW64), Wine's own messages silenced,
# the null graphics driver (real windows that are never drawn). WINEPREFIX,
# when set, wins. It ends with the program's exit status, or with 125 when
# the prefix could not be made (2 for bad usage): no program exit status of
# the stub's is mistaken for a Wine that did not start. (A Wine that fails to
# load the program itself ends with a status of its own and says why on
# standard error; the scenarios tell it apart by the stub's opening record.)
#
# Wine runs with the kernel's address randomization off (setarch -R), and so
# does every process it starts. Debian's Wine has no preloader: its loader
# sits at 0x7d000000, and the kernel starts the loader's heap anywhere in the
# gigabyte above it. About one start in a thousand, the heap covers 0x7ffe0000,
# where every Windows process has its shared user data, and Wine ends the new
# process with 1 before it runs ("failed to map the shared user data", on its
# err channel only). Without randomization the heap starts right above the
# loader, far below that page.
#   scripts/wine-run.sh reg add ...   runs one of Wine's own programs (WINEPREFIX set)
set -euo pipefail
[ $# -ge 1 ] || { echo "usage: wine-run.sh PROGRAM [ARGS...]" >&2; exit 2; }
program=$1
shift

if [ -z "${WINEPREFIX:-}" ]; then
  dir=$(cd "$(dirname "$program")" && pwd)
  while [ "$dir" != "/" ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
  [ -f "$dir/CMakeCache.txt" ] || { echo "wine-run.sh: no build folder above $program" >&2; exit 125; }
  export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG=${WINEDEBUG:--all}
export WINEARCH=win64
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# Wine's WinHTTP honours these; no test may go through a proxy by accident.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY

# A WoW64 prefix, which runs 32-bit programs as well (most installers are
# 32-bit), where the kernel runs them. A prefix made while Wine's 32-bit part
# was missing is made again.
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wow64_ready() { "$scripts/prefix-has-wow64.sh" "$WINEPREFIX"; }
prefix_ready() { [ -f "$WINEPREFIX/.stub-prefix-ready" ] && wow64_ready; }
if ! prefix_ready; then
  mkdir -p "$(dirname "$WINEPREFIX")" || exit 125
  exec 9>"$WINEPREFIX.lock" || exit 125
  flock 9
  if ! prefix_ready; then
    # Only a prefix this script made (its mark is there) is removed.
    if [ -f "$WINEPREFIX/.stub-prefix-ready" ]; then
      echo "wine-run.sh: $WINEPREFIX was made without Wine's 32-bit part; making it again" >&2
      wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    fi
    setarch -R wineboot -i >/dev/null 2>&1 || true
    setarch -R wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || exit 125
    wineserver -w
    # Wine links the user's Desktop and documents folders to the Linux home
    # folder, which every prefix on the machine shares: a shortcut one prefix's
    # run makes would be another's. Each prefix gets folders of its own.
    users="$WINEPREFIX/drive_c/users/$(whoami)"
    for folder in Desktop Documents Downloads Music Pictures Videos; do
      if [ -L "$users/$folder" ]; then rm "$users/$folder" && mkdir "$users/$folder"; fi
    done
    if ! wow64_ready; then
      echo "wine-run.sh: Wine made $WINEPREFIX without its 32-bit part: install wine32:i386 (scripts/install-deps.sh)" >&2
      exit 125
    fi
    touch "$WINEPREFIX/.stub-prefix-ready"
  fi
  flock -u 9
  exec 9>&-
fi

exec setarch -R wine "$program" "$@"
