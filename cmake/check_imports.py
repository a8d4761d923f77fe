#!/usr/bin/env python3
"""Checks that every function a linked stub imports, statically or
delay-loaded, exists on the oldest Windows the stub supports.

The list (cmake/windows_functions.txt) gives each function the first Windows
version that has it, from Microsoft's documentation ("Minimum supported
client"). A function missing from the list, or newer than the oldest
supported system, fails the check: on that system the loader would refuse the
program, or the delay-load helper would end it at the call. On failure the
executable is deleted, so that the next build links and checks it again.

usage: check_imports.py EXECUTABLE LINK_MAP FUNCTION_LIST
"""
import re
import struct
import sys
from pathlib import Path

# Windows 7 SP1: the oldest system the stub supports (README, "Supported Windows").
OLDEST_SUPPORTED = (6, 1)
IMPORT_ENTRY = 1
DELAY_IMPORT_ENTRY = 13
DELAY_DESCRIPTOR_SIZE = 32
ORDINAL_FLAG = 1 << 63


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        if data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('not a PE file')
        count, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
        optional = pe + 24
        if struct.unpack_from('<H', data, optional)[0] != 0x20B:
            raise ValueError('not a 64-bit PE file')
        self.image_base = struct.unpack_from('<Q', data, optional + 24)[0]
        self.directories = optional + 112
        table = optional + optional_size
        self.sections = []
        for i in range(count):
            vsize, va, rsize, offset = struct.unpack_from('<IIII', data, table + 40 * i + 8)
            self.sections.append((va, max(vsize, rsize), offset))

    def offset(self, rva):
        for va, size, offset in self.sections:
            if va <= rva < va + size:
                return offset + rva - va
        raise ValueError(f'RVA {rva:#x} is in no section')

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b'\0', start)].decode('ascii')

    def thunk_names(self, rva):
        """The names (or '#ordinal') of an import name table."""
        names = []
        while True:
            (thunk,) = struct.unpack_from('<Q', self.data, self.offset(rva))
            if thunk == 0:
                return names
            names.append(f'#{thunk & 0xFFFF}' if thunk & ORDINAL_FLAG else self.c_string((thunk & 0x7FFFFFFF) + 2))
            rva += 8


def static_imports(pe):
    rva, _ = struct.unpack_from('<II', pe.data, pe.directories + 8 * IMPORT_ENTRY)
    found = set()
    while rva:
        lookup, _, _, name, first = struct.unpack_from('<IIIII', pe.data, pe.offset(rva))
        if name == 0:
            break
        dll = pe.c_string(name).lower()
        found.update((dll, function) for function in pe.thunk_names(lookup or first))
        rva += 20
    return found


def delay_descriptors(pe, link_map):
    """The RVAs of the delay-import descriptors: from the directory entry
    where the linker fills it (lld), else from the link map (GNU ld leaves the
    entry empty)."""
    rva, size = struct.unpack_from('<II', pe.data, pe.directories + 8 * DELAY_IMPORT_ENTRY)
    if rva:
        return [rva + i * DELAY_DESCRIPTOR_SIZE for i in range(size // DELAY_DESCRIPTOR_SIZE)]
    return [int(address, 16) - pe.image_base for address in
            re.findall(r'^\s+0x([0-9a-f]+)\s+__DELAY_IMPORT_DESCRIPTOR_\w+$', link_map, re.MULTILINE)]


def delay_imports(pe, link_map):
    found = set()
    for descriptor in delay_descriptors(pe, link_map):
        _, name, _, _, names = struct.unpack_from('<IIIII', pe.data, pe.offset(descriptor))
        if name == 0:
            continue  # the directory's closing entry
        dll = pe.c_string(name).lower()
        found.update((dll, function) for function in pe.thunk_names(names))
    return found


def read_list(text):
    """{(dll, function): (major, minor)} from lines "dll function version"."""
    table = {}
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split('#', 1)[0].strip()
        if not line:
            continue
        fields = line.split()
        if len(fields) != 3 or not re.fullmatch(r'\d+\.\d+', fields[2]):
            raise ValueError(f'line {number}: expected "dll function version", found {line!r}')
        major, minor = fields[2].split('.')
        table[(fields[0].lower(), fields[1])] = (int(major), int(minor))
    return table


def problems(imports, table, oldest=OLDEST_SUPPORTED):
    """What stands in the way of the oldest supported system, one text each."""
    found = []
    for dll, function in sorted(imports):
        version = table.get((dll, function))
        if version is None:
            found.append(f'{dll} {function}: not in the list; add it with its first Windows version')
        elif version > oldest:
            found.append(f'{dll} {function}: needs Windows {version[0]}.{version[1]}, '
                         f'newer than the oldest supported ({oldest[0]}.{oldest[1]})')
    return found


def main(argv):
    if len(argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    executable, link_map, function_list = (Path(a) for a in argv[1:])
    pe = Pe(executable.read_bytes())
    imports = static_imports(pe) | delay_imports(pe, link_map.read_text())
    found = problems(imports, read_list(function_list.read_text()))
    if found:
        executable.unlink()
        print(f'{executable.name} imports what the oldest supported Windows lacks:', file=sys.stderr)
        for text in found:
            print('  ' + text, file=sys.stderr)
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
