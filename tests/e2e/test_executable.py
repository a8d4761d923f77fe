"""The stub is a self-contained 64-bit Windows GUI program with its resources."""
import re
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ET

from peinfo import resources
from stubtest import STUB

ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
SETTINGS_2005 = '{http://schemas.microsoft.com/SMI/2005/WindowsSettings}'
SETTINGS_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'
# The supportedOS identifiers of Windows 7, 8, 8.1, and 10 and 11 (one for both).
SUPPORTED_OS = {'{35138b9a-5d96-4fbd-8e2d-a2440225f93a}', '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',
                '{1f676c76-80e1-4239-95bb-83d0f6d0da78}', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'}

SYSTEM_DLLS = {'kernel32.dll', 'user32.dll', 'shell32.dll', 'msvcrt.dll', 'ole32.dll', 'oleaut32.dll',
               'winhttp.dll', 'urlmon.dll', 'comctl32.dll', 'rpcrt4.dll', 'advapi32.dll', 'ws2_32.dll',
               'crypt32.dll', 'bcrypt.dll', 'gdi32.dll', 'shlwapi.dll'}


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', str(STUB)], check=True,
                                     capture_output=True, text=True, timeout=60).stdout

    def test_is_a_64_bit_gui_program(self):
        self.assertIn('file format pei-x86-64', self.headers)
        self.assertRegex(self.headers, r'Subsystem\s+00000002\s+\(Windows GUI\)')

    def test_imports_system_dlls_only(self):
        dlls = {name.lower() for name in re.findall(r'DLL Name: (\S+)', self.headers)}
        self.assertTrue(dlls)
        self.assertLessEqual(dlls, SYSTEM_DLLS, f'unexpected imports: {dlls - SYSTEM_DLLS}')

    def test_manifest_asks_for_administrator_and_common_controls_6(self):
        manifest = resources(STUB)[(24, 1, 1033)].decode('utf-8')
        self.assertRegex(manifest, r'<requestedExecutionLevel level="requireAdministrator" uiAccess="false"\s*/>')
        identity = re.search(r'<dependentAssembly>\s*<assemblyIdentity ([^>]*)/>', manifest).group(1)
        attributes = dict(re.findall(r'(\w+)="([^"]*)"', identity))
        self.assertEqual(attributes, {
            'type': 'win32', 'name': 'Microsoft.Windows.Common-Controls', 'version': '6.0.0.0',
            'processorArchitecture': '*', 'publicKeyToken': '6595b64144ccf1df', 'language': '*'})

    def test_manifest_declares_per_monitor_v2_dpi_awareness_with_fallbacks(self):
        root = ET.fromstring(resources(STUB)[(24, 1, 1033)])
        settings = root.findall(f'{ASM_V3}application/{ASM_V3}windowsSettings')
        self.assertEqual(len(settings), 1)
        awareness = settings[0].findall(f'{SETTINGS_2016}dpiAwareness')
        self.assertEqual(len(awareness), 1)
        self.assertEqual([v.strip() for v in awareness[0].text.split(',')], ['PerMonitorV2', 'PerMonitor'])
        # Systems before Windows 10 1607 read only dpiAware: per-monitor on 8.1, system-aware before.
        legacy = settings[0].findall(f'{SETTINGS_2005}dpiAware')
        self.assertEqual([v.text.strip() for v in legacy], ['true/pm'])

    def test_manifest_names_windows_7_to_11_as_supported(self):
        root = ET.fromstring(resources(STUB)[(24, 1, 1033)])
        entries = root.findall(f'{COMPATIBILITY}compatibility/{COMPATIBILITY}application/{COMPATIBILITY}supportedOS')
        ids = [entry.get('Id') for entry in entries]
        self.assertEqual(sorted(ids), sorted(SUPPORTED_OS))

    def test_has_the_icon_group_with_four_sizes(self):
        group = resources(STUB)[(14, 102, 1033)]
        _, kind, count = struct.unpack_from('<HHH', group, 0)
        self.assertEqual(kind, 1)
        sizes = {struct.unpack_from('<B', group, 6 + 14 * i)[0] for i in range(count)}
        self.assertEqual(sizes, {16, 32, 48, 64})

    def test_progress_dialog_template(self):
        dialog, items = parse_dialog_ex(resources(STUB)[(5, 103, 1033)])
        self.assertEqual(dialog['style'], 0x80880848)
        self.assertEqual(dialog['ex_style'], 0x00040080)
        self.assertEqual((dialog['x'], dialog['y'], dialog['cx'], dialog['cy']), (0, 0, 280, 36))
        self.assertEqual((dialog['menu'], dialog['class'], dialog['title']), ('', '', ''))
        self.assertEqual(dialog['font'], (8, 400, 0, 1, 'MS Shell Dlg'))
        self.assertEqual(len(items), 1)
        # Window class names are not case-sensitive; the resource compiler
        # stores them in capitals.
        items[0]['class'] = items[0]['class'].lower()
        self.assertEqual(items[0], {'id': 1001, 'class': 'msctls_progress32', 'title': '', 'style': 0x50800001,
                                    'ex_style': 0, 'x': 7, 'y': 7, 'cx': 266, 'cy': 21})


def parse_dialog_ex(data):
    """The header and items of an extended dialog template."""
    offset = 0

    def take(fmt):
        nonlocal offset
        values = struct.unpack_from(fmt, data, offset)
        offset += struct.calcsize(fmt)
        return values

    def sz_or_ord():
        nonlocal offset
        first = struct.unpack_from('<H', data, offset)[0]
        if first == 0xFFFF:
            offset += 4
            return struct.unpack_from('<H', data, offset - 2)[0]
        end = offset
        while struct.unpack_from('<H', data, end)[0] != 0:
            end += 2
        text = data[offset:end].decode('utf-16-le')
        offset = end + 2
        return text

    version, signature, _, ex_style, style, count, x, y, cx, cy = take('<HHIIIHhhhh')
    assert (version, signature) == (1, 0xFFFF), 'not an extended dialog template'
    dialog = {'ex_style': ex_style, 'style': style, 'x': x, 'y': y, 'cx': cx, 'cy': cy,
              'menu': sz_or_ord(), 'class': sz_or_ord(), 'title': sz_or_ord()}
    points, weight, italic, charset = take('<HHBB')
    dialog['font'] = (points, weight, italic, charset, sz_or_ord())
    items = []
    for _ in range(count):
        offset = (offset + 3) & ~3
        _, item_ex_style, item_style, ix, iy, icx, icy, ident = take('<IIIhhhhI')
        item = {'id': ident, 'class': sz_or_ord(), 'title': sz_or_ord(), 'style': item_style,
                'ex_style': item_ex_style, 'x': ix, 'y': iy, 'cx': icx, 'cy': icy}
        extra = take('<H')[0]
        offset += extra
        items.append(item)
    return dialog, items


if __name__ == '__main__':
    unittest.main()
