#!/usr/bin/env python3
"""Checks the compiled string table (a .res file from windres): every language
has every string of U.S. English, none is empty, each uses the same
placeholders as the English one, and the languages the stub promises are
there. Run by the build; a missing translation fails it.

    check_strings.py STRINGS.res STAMP"""
import re
import struct
import sys
from pathlib import Path

RT_STRING = 6
ENGLISH = 0x0409
# German, French, Spanish, Italian, Portuguese (Brazil), Dutch, Polish,
# Russian, Turkish, Japanese, Korean, Chinese (Simplified), Arabic.
PROMISED = {0x0407, 0x040C, 0x0C0A, 0x0410, 0x0416, 0x0413, 0x0415, 0x0419, 0x041F, 0x0411, 0x0412, 0x0804,
            0x0401}
PLACEHOLDER = re.compile(r'%[1-9]')


def read_name(data, offset):
    """A type or name of a resource header: an ordinal or a string."""
    first, = struct.unpack_from('<H', data, offset)
    if first == 0xFFFF:
        return struct.unpack_from('<H', data, offset + 2)[0], offset + 4
    end = offset
    while struct.unpack_from('<H', data, end)[0] != 0:
        end += 2
    return data[offset:end].decode('utf-16-le'), end + 2


def resources(data):
    """(type, name, language, bytes) of every resource in a .res file."""
    offset = 0
    while offset + 8 <= len(data):
        size, header_size = struct.unpack_from('<II', data, offset)
        kind, at = read_name(data, offset + 8)
        name, at = read_name(data, at)
        at = (at + 3) & ~3
        _, _, language = struct.unpack_from('<IHH', data, at)
        body = offset + header_size
        yield kind, name, language, data[body:body + size]
        offset = (body + size + 3) & ~3


def string_tables(data):
    """{language: {id: text}} of the string table blocks."""
    tables = {}
    for kind, name, language, body in resources(data):
        if kind != RT_STRING:
            continue
        at = 0
        for index in range(16):
            length, = struct.unpack_from('<H', body, at)
            text = body[at + 2:at + 2 + 2 * length].decode('utf-16-le')
            at += 2 + 2 * length
            if length:
                tables.setdefault(language, {})[(name - 1) * 16 + index] = text
    return tables


def faults(tables):
    english = tables.get(ENGLISH)
    if not english:
        return ['there is no U.S. English string table']
    found = []
    for language in sorted(PROMISED - set(tables)):
        found.append(f'language 0x{language:04X} has no string table')
    for language, table in sorted(tables.items()):
        for string_id, text in sorted(english.items()):
            translated = table.get(string_id)
            if translated is None or not translated.strip():
                found.append(f'language 0x{language:04X} lacks string {string_id} ("{text}")')
            elif sorted(PLACEHOLDER.findall(translated)) != sorted(PLACEHOLDER.findall(text)):
                found.append(f'language 0x{language:04X}, string {string_id}: placeholders differ from "{text}"')
        for string_id in sorted(set(table) - set(english)):
            found.append(f'language 0x{language:04X} has string {string_id}, which English lacks')
    return found


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    found = faults(string_tables(Path(sys.argv[1]).read_bytes()))
    for fault in found:
        print(f'strings: {fault}', file=sys.stderr)
    if found:
        return 1
    Path(sys.argv[2]).write_text('complete\n')
    return 0


if __name__ == '__main__':
    sys.exit(main())
