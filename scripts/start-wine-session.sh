#!/usr/bin/env bash
# Starts the persistent Wine session of a test build folder (its wineserver,
# detached from the caller's pipes) and Wine's desktop, and waits until the
# desktop's shell answers: run it before any test starts, since it may end the
# session again.
#
# On a loaded machine, Wine's desktop now and then comes up without the shell's
# class (every request for it fails with 0x80040154 for as long as that session
# lives; about one start in five with the two cores busy, none of 20 idle).
# Such a session is ended and started afresh, at most three times, each said
# on standard error: the suite then runs on a desktop whose shell answers.
#   scripts/start-wine-session.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: start-wine-session.sh BUILD_DIR}" && pwd)
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}" WINEDEBUG=${WINEDEBUG:--all}
for session in 1 2 3; do
  setsid wineserver -p </dev/null >/dev/null 2>&1 &
  setsid "$root/scripts/wine-run.sh" cmd /c exit </dev/null >/dev/null 2>&1 || true
  if "$root/scripts/start-wine-desktop.sh" "$build" 20; then exit 0; fi
  echo "start-wine-session.sh: Wine's desktop came up without its shell (session $session of 3); starting the session again" >&2
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
done
echo "start-wine-session.sh: no Wine session came up with its desktop's shell" >&2
exit 1
