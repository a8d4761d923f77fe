"""Reads parts of a PE file: its resources ({(type, name, language): bytes};
types and names are numbers, named entries are skipped), its data directories
and the bytes at an RVA."""
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


class PeFile:
    def __init__(self, path):
        self.data = open(path, 'rb').read()
        pe = struct.unpack_from('<I', self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b'PE\0\0':
            raise ValueError('not a PE file')
        section_count, optional_size = struct.unpack_from('<H12xH', self.data, pe + 6)
        optional = pe + 24
        self.magic = struct.unpack_from('<H', self.data, optional)[0]
        self.image_base = struct.unpack_from('<Q', self.data, optional + 24)[0]
        self.checksum_offset = optional + 64
        self._directories = optional + (112 if self.magic == 0x20B else 96)
        table = optional + optional_size
        self.sections = [struct.unpack_from('<IIII', self.data, table + 40 * i + 8)
                         for i in range(section_count)]
        self.sections = [(va, vsize, offset, rsize) for vsize, va, rsize, offset in self.sections]

    def directory_offset(self, index):
        """The file offset of a data directory entry."""
        return self._directories + 8 * index

    def directory(self, index):
        """(RVA, size) of a data directory entry."""
        return struct.unpack_from('<II', self.data, self.directory_offset(index))

    def read(self, rva, size):
        offset = _rva_to_offset(self.sections, rva)
        return self.data[offset:offset + size]

    def c_string(self, rva):
        offset = _rva_to_offset(self.sections, rva)
        return self.data[offset:self.data.index(b'\0', offset)].decode('ascii')
