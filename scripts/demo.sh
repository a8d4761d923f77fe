#!/usr/bin/env bash
# The stub's main job on this machine: builds it for the loopback demo servers,
# runs it under Wine against them and prints its log and what the servers saw.
#   scripts/demo.sh [installed|cancelled|failed] [--screenshot FILE.png] [--language LOCALE]
#                   [--progress-shots PREFIX]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/build-presets.sh" --log "$root/build/demo-build.log" demo
exec python3 "$root/scripts/demo.py" "$@"
