#!/usr/bin/env python3
"""Points the load-configuration directory of a linked PE file at its
_load_config_used symbol.

GNU ld (binutils 2.40) links the symbol but leaves the directory entry empty,
so Windows would never read the DependentLoadFlags set there. The symbol's
address comes from the link map. The file's checksum is written (again):
GNU ld writes one, lld does not. On any doubt the executable is deleted and
the build fails, so that no unpatched file is ever taken for a finished one.

usage: write_load_config.py EXECUTABLE LINK_MAP
"""
import re
import struct
import sys
from pathlib import Path

LOAD_CONFIG_ENTRY = 10
DEPENDENT_LOAD_FLAGS_OFFSET = 78
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800


class PatchError(Exception):
    pass


# GNU ld's map gives a symbol's address ("    0x0000000140012345   name"),
# lld's gives its RVA in the first column ("00012345 00000000     0   name").
GNU_SYMBOL = r'^\s+0x([0-9a-fA-F]+)\s+({name})\s*$'
LLD_SYMBOL = r'^([0-9a-fA-F]+) +[0-9a-fA-F]+ +\d+ +({name})\s*$'


def symbol_rvas(map_text, name_pattern, image_base):
    """{name: set of RVAs} of the symbols whose names match the pattern, in a
    map of either linker."""
    found = {}
    for pattern, base in ((GNU_SYMBOL, image_base), (LLD_SYMBOL, 0)):
        for match in re.finditer(pattern.format(name=name_pattern), map_text, re.MULTILINE):
            found.setdefault(match.group(2), set()).add(int(match.group(1), 16) - base)
    return found


def symbol_rva(map_text, name, image_base):
    found = symbol_rvas(map_text, re.escape(name), image_base).get(name, set())
    if len(found) != 1:
        raise PatchError(f'{name} appears {len(found)} times in the link map')
    return found.pop()


def pe_checksum(data, checksum_offset):
    """The PE image checksum: 16-bit one's-complement sum with the checksum
    field counted as zero, plus the file's length."""
    total = 0
    padded = data + b'\0' * (len(data) % 2)
    for (word,) in struct.iter_unpack('<H', padded):
        total += word
    for (word,) in struct.iter_unpack('<H', data[checksum_offset:checksum_offset + 4]):
        total -= word
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def patch(data, map_text):
    data = bytearray(data)
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[:2] != b'MZ' or data[pe:pe + 4] != b'PE\0\0':
        raise PatchError('not a PE file')
    section_count, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    if magic != 0x20B:
        raise PatchError(f'not a 64-bit image (optional header magic {magic:#x})')
    image_base = struct.unpack_from('<Q', data, optional + 24)[0]
    checksum_offset = optional + 64
    directory_count = struct.unpack_from('<I', data, optional + 108)[0]
    if directory_count <= LOAD_CONFIG_ENTRY:
        raise PatchError('the image has no load-configuration directory entry')
    entry = optional + 112 + 8 * LOAD_CONFIG_ENTRY
    table = optional + optional_size
    sections = [struct.unpack_from('<IIII', data, table + 40 * i + 8) for i in range(section_count)]

    def directory_at(rva):
        """(size, DependentLoadFlags) of a directory at rva, or None."""
        for virtual_size, virtual_address, raw_size, raw_offset in sections:
            if virtual_address <= rva < virtual_address + min(virtual_size, raw_size) - DEPENDENT_LOAD_FLAGS_OFFSET:
                offset = raw_offset + rva - virtual_address
                return (struct.unpack_from('<I', data, offset)[0],
                        struct.unpack_from('<H', data, offset + DEPENDENT_LOAD_FLAGS_OFFSET)[0])
        return None

    def is_ours(found):
        return found is not None and DEPENDENT_LOAD_FLAGS_OFFSET + 2 <= found[0] <= 0x400 and \
            found[1] == LOAD_LIBRARY_SEARCH_SYSTEM32

    current = struct.unpack_from('<II', data, entry)
    if current != (0, 0) and is_ours(directory_at(current[0])):
        # A linker that fills the entry (lld, which leaves the checksum 0), or a second run.
        struct.pack_into('<I', data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
        return bytes(data)
    if current != (0, 0):
        raise PatchError(f'the load-configuration entry already points elsewhere: {current}')

    rva = symbol_rva(map_text, '_load_config_used', image_base)
    found = directory_at(rva)
    if found is None:
        raise PatchError(f'_load_config_used (RVA {rva:#x}) lies in no section with file data')
    if not is_ours(found):
        raise PatchError(f'_load_config_used does not look like the directory (size {found[0]}, flags {found[1]:#x})')
    size = found[0]
    struct.pack_into('<II', data, entry, rva, size)
    struct.pack_into('<I', data, checksum_offset, pe_checksum(bytes(data), checksum_offset))
    return bytes(data)


def main(executable, link_map):
    executable = Path(executable)
    try:
        patched = patch(executable.read_bytes(), Path(link_map).read_text(errors='replace'))
        temporary = executable.with_name(executable.name + '.patching')
        temporary.write_bytes(patched)
        temporary.replace(executable)
    except (OSError, PatchError, struct.error) as error:
        print(f'write_load_config.py: {executable}: {error}', file=sys.stderr)
        executable.unlink(missing_ok=True)
        return 1
    return 0


if __name__ == '__main__':
    if len(sys.argv) != 3:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1], sys.argv[2]))
