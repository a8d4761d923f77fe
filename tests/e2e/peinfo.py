"""Reads the resources of a PE file: {(type, name, language): bytes}. Types and
names are numbers (named entries are skipped)."""
import struct


def _rva_to_offset(sections, rva):
    for virtual_address, virtual_size, raw_offset, raw_size in sections:
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            return raw_offset + rva - virtual_address
    raise ValueError(f'RVA {rva:#x} lies in no section')


def resources(path):
    data = open(path, 'rb').read()
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('not a PE file')
    section_count, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from('<H', data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva, _ = struct.unpack_from('<II', data, directories + 2 * 8)
    sections = []
    table = optional + optional_size
    for i in range(section_count):
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from('<IIII', data, table + 40 * i + 8)
        sections.append((virtual_address, virtual_size, raw_offset, raw_size))
    if resource_rva == 0:
        return {}
    base = _rva_to_offset(sections, resource_rva)

    def entries(offset):
        named, numbered = struct.unpack_from('<12xHH', data, base + offset)
        for i in range(named + numbered):
            ident, target = struct.unpack_from('<II', data, base + offset + 16 + 8 * i)
            if ident & 0x80000000:
                continue
            yield ident, target

    found = {}
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for lang_id, leaf in entries(name_dir & 0x7FFFFFFF):
                rva, size = struct.unpack_from('<II', data, base + leaf)
                start = _rva_to_offset(sections, rva)
                found[(type_id, name_id, lang_id)] = data[start:start + size]
    return found
