"""README's table of time limits says what src/common/time_limits.h names:
every limit of the header has one row, under its own name and with its own
value, and the table names no limit the header lacks."""
import os
import re
import unittest
from pathlib import Path

SOURCE = Path(os.environ.get('STUB_SOURCE_DIR', Path(__file__).resolve().parents[2]))
HEADER = SOURCE / 'src' / 'common' / 'time_limits.h'
README = SOURCE / 'README.md'
SECTION = '## Time limits'


def header_limits(text):
    """{name: milliseconds} of the header's constants."""
    return {name: int(value) for name, value in re.findall(r'constexpr \w+ (k\w+Ms) = (\d+);', text)}


def table_limits(text):
    """{name: milliseconds} of the rows of the section's table; a name given
    twice is an error."""
    section = text[text.index(SECTION):]
    section = section[:section.find('\n## ', 1)]
    limits = {}
    for row in section.splitlines():
        match = re.match(r'\|.*\| (\d+(?:\.\d+)?) (s|ms) \|.*\| `(k\w+Ms)` \|$', row)
        if match is None:
            continue
        number, unit, name = match.groups()
        if name in limits:
            raise AssertionError(f'{name} has two rows')
        limits[name] = round(float(number) * (1000 if unit == 's' else 1))
    return limits


class TimeLimitsTableTest(unittest.TestCase):
    def test_the_readme_table_is_the_header(self):
        header = header_limits(HEADER.read_text(encoding='utf-8'))
        table = table_limits(README.read_text(encoding='utf-8'))
        self.assertGreater(len(header), 10, 'the header was not read')
        self.assertEqual(table, header)

    def test_a_changed_value_or_a_missing_row_is_found(self):
        header = 'constexpr uint32_t kAMs = 30000;\nconstexpr int kBMs = 500;\n'
        table = ('## Time limits\n\n| a | 30 s | x | `kAMs` |\n| b | 0.5 s | y | `kBMs` |\n\n## Next\n'
                 '| c | 7 s | z | `kCMs` |\n')
        self.assertEqual(table_limits(table), header_limits(header))
        self.assertNotEqual(table_limits(table.replace('30 s', '20 s')), header_limits(header))
        self.assertNotEqual(table_limits(table.replace('`kBMs`', '`kDMs`')), header_limits(header))


if __name__ == '__main__':
    unittest.main()
