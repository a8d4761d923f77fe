#!/usr/bin/env bash
# Exits 0 when the Wine prefix PREFIX has the 32-bit part this machine can
# run: its syswow64 folder, or none on a kernel that runs no 32-bit programs.
# A prefix made before Wine's 32-bit part was installed has no syswow64 and
# never gains one; wine-run.sh makes such a prefix again.
[ $# -eq 1 ] || { echo "usage: prefix-has-wow64.sh PREFIX" >&2; exit 2; }
[ -d "$1/drive_c/windows/syswow64" ] || ! "$(dirname "${BASH_SOURCE[0]}")/runs-32-bit.sh"
