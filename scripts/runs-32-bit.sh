#!/usr/bin/env bash
# Exits 0 when this machine runs 32-bit Windows programs under Wine, 1 when its
# kernel refuses 32-bit x86 programs (IA-32 emulation off, as on some virtual
# machines: then Wine's 32-bit part cannot run either, and with it installed
# Wine's launcher, which prefers the 32-bit loader, fails for every program) or
# Wine's 32-bit part is not installed. With --kernel, only the kernel is asked.
#
# The test is the kernel's own: a 93-byte static i386 program that only calls
# exit(0) is started.
set -uo pipefail
probe=$(mktemp "${TMPDIR:-/tmp}/runs-32-bit.XXXXXX")
trap 'rm -f "$probe"' EXIT
# ELF header: 32-bit, little-endian, executable for the 386, entry 0x08048054,
# one program header at offset 52.
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$probe"
printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$probe"
printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000' >>"$probe"
# One loadable, readable and executable segment: the whole file at 0x08048000.
printf '\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010' >>"$probe"
printf '\135\000\000\000\135\000\000\000\005\000\000\000\000\020\000\000' >>"$probe"
# xor ebx, ebx; mov eax, 1 (exit); int 0x80
printf '\061\333\270\001\000\000\000\315\200' >>"$probe"
chmod +x "$probe"
"$probe" 2>/dev/null || exit 1
[ "${1:-}" = --kernel ] && exit 0
dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'
