"""The stub is a self-contained 64-bit Windows GUI program with its resources."""
import re
import struct
import subprocess
import sys
import unittest
import xml.etree.ElementTree as ET

from peinfo import PeFile, resources
from stubtest import BUILD, SOURCE, STUB

sys.path.insert(0, str(SOURCE / 'cmake'))
import check_imports  # noqa: E402
import write_load_config  # noqa: E402

# Resolved before the stub's first instruction: known DLLs only.
STATIC_IMPORTS = {'kernel32.dll', 'msvcrt.dll'}
# Loaded on first use, after the stub has restricted the DLL search.
DELAY_LOADED = {'advapi32.dll', 'bcrypt.dll', 'comctl32.dll', 'crypt32.dll', 'ole32.dll', 'oleacc.dll',
                'oleaut32.dll', 'rpcrt4.dll', 'shell32.dll', 'urlmon.dll', 'user32.dll', 'winhttp.dll',
                'wintrust.dll'}
LINK_MAP = BUILD / 'tessaloom_setup.map'
LOAD_CONFIG_ENTRY = 10
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
ASM_V3 = '{urn:schemas-microsoft-com:asm.v3}'
COMPATIBILITY = '{urn:schemas-microsoft-com:compatibility.v1}'
SETTINGS_2005 = '{http://schemas.microsoft.com/SMI/2005/WindowsSettings}'
SETTINGS_2016 = '{http://schemas.microsoft.com/SMI/2016/WindowsSettings}'
# The supportedOS identifiers of Windows 7, 8, 8.1, and 10 and 11 (one for both).
SUPPORTED_OS = {'{35138b9a-5d96-4fbd-8e2d-a2440225f93a}', '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}',
                '{1f676c76-80e1-4239-95bb-83d0f6d0da78}', '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'}


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.headers = subprocess.run(['x86_64-w64-mingw32-objdump', '-p', str(STUB)], check=True,
                                     capture_output=True, text=True, timeout=60).stdout

    def test_is_a_64_bit_gui_program(self):
        self.assertIn('file format pei-x86-64', self.headers)
        self.assertRegex(self.headers, r'Subsystem\s+00000002\s+\(Windows GUI\)')

    def test_imports_the_kernel_and_the_c_runtime_only_and_delay_loads_the_rest(self):
        static = {name.lower() for name in re.findall(r'DLL Name: (\S+)', self.headers)}
        self.assertEqual(static, STATIC_IMPORTS)
        self.assertEqual(delay_loaded_dlls(PeFile(STUB), LINK_MAP.read_text()), DELAY_LOADED)

    def test_load_configuration_asks_for_dependent_dlls_from_the_system_folder(self):
        pe = PeFile(STUB)
        self.assertEqual(pe.magic, 0x20B)
        rva, size = pe.directory(LOAD_CONFIG_ENTRY)
        self.assertNotEqual(rva, 0, 'no load-configuration directory')
        directory = pe.read(rva, size)
        self.assertEqual(struct.unpack_from('<I', directory, 0)[0], size)
        self.assertGreaterEqual(size, 80)
        self.assertEqual(struct.unpack_from('<H', directory, 78)[0], LOAD_LIBRARY_SEARCH_SYSTEM32)

    def test_symbols_are_read_from_either_linker_s_map(self):
        gnu = ' .rdata$_load_config_used\n                0x00000001400bf460       0x70 x.o\n' \
              '                0x00000001400bf460                _load_config_used\n'
        lld = '000bf460 00000070     8         x.obj:(.rdata$_load_config_used)\n' \
              '000bf460 00000000     0                 _load_config_used\n'
        for text in (gnu, lld):
            self.assertEqual(write_load_config.symbol_rva(text, '_load_config_used', 0x140000000), 0xbf460)
        with self.assertRaises(write_load_config.PatchError):
            write_load_config.symbol_rva(gnu + lld.replace('000bf460', '000bf470'), '_load_config_used', 0x140000000)

    def test_the_post_link_step_writes_the_entry_or_fails(self):
        pe = PeFile(STUB)
        link_map = LINK_MAP.read_text()
        entry, checksum = pe.directory_offset(LOAD_CONFIG_ENTRY), pe.checksum_offset
        as_linked = bytearray(pe.data)
        struct.pack_into('<II', as_linked, entry, 0, 0)
        patched = write_load_config.patch(bytes(as_linked), link_map)
        self.assertEqual(patched, pe.data)
        self.assertEqual(struct.unpack_from('<I', patched, checksum)[0],
                         write_load_config.pe_checksum(patched, checksum))
        elsewhere = bytearray(as_linked)
        struct.pack_into('<II', elsewhere, entry, 0x1000, 112)
        for data, text in ((as_linked, ''), (elsewhere, link_map),
                           (as_linked, re.sub(r'_load_config_used', '_other', link_map))):
            with self.assertRaises(write_load_config.PatchError):
                write_load_config.patch(bytes(data), text)

    def test_the_imports_check_refuses_what_windows_7_lacks(self):
        table = check_imports.read_list('kernel32.dll CreateFileW 5.1  # XP\n\nkernel32.dll GetTickCount64 6.0\n'
                                        'user32.dll GetDpiForWindow 10.0\nkernel32.dll SetDefaultDllDirectories 6.2\n')
        cases = (
            (('kernel32.dll', 'GetTickCount64'), None),
            (('user32.dll', 'GetDpiForWindow'), 'user32.dll GetDpiForWindow: needs Windows 10.0'),
            (('kernel32.dll', 'SetDefaultDllDirectories'), 'kernel32.dll SetDefaultDllDirectories: needs Windows 6.2'),
            (('kernel32.dll', 'GetFileInformationByHandleEx'), 'kernel32.dll GetFileInformationByHandleEx: not in'),
            (('shell32.dll', '#680'), 'shell32.dll #680: not in'),  # by ordinal: never listed by name
        )
        for function, expected in cases:
            found = check_imports.problems({function, ('kernel32.dll', 'CreateFileW')}, table)
            self.assertEqual([text[:len(expected)] for text in found], [expected] if expected else [], found)
        for bad in ('kernel32.dll CreateFileW', 'kernel32.dll CreateFileW XP'):
            with self.assertRaises(ValueError):
                check_imports.read_list(bad)

    def test_every_import_of_the_stub_is_listed_for_windows_7(self):
        pe = check_imports.Pe(STUB.read_bytes())
        imports = check_imports.static_imports(pe) | check_imports.delay_imports(pe, LINK_MAP.read_text())
        self.assertIn(('kernel32.dll', 'CreateFileW'), imports)
        self.assertIn(('user32.dll', 'MsgWaitForMultipleObjectsEx'), imports)  # delay-loaded
        table = check_imports.read_list((SOURCE / 'cmake' / 'windows_functions.txt').read_text())
        self.assertEqual(check_imports.problems(imports, table), [])

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

    def test_has_the_small_icon_set(self):
        table = resources(STUB)
        group = table[(14, 102, 1033)]
        _, kind, count = struct.unpack_from('<HHH', group, 0)
        self.assertEqual(kind, 1)
        images = {}
        for i in range(count):
            width, _, _, _, _, bits, _, image_id = struct.unpack_from('<BBBBHHIH', group, 6 + 14 * i)
            images[width or 256] = (bits, table[(3, image_id, 1033)])
        self.assertEqual(sorted(images), [16, 32, 48, 256])
        self.assertEqual({bits for bits, _ in images.values()}, {32})
        # The large one is PNG-compressed, the others are bitmaps with alpha.
        self.assertTrue(images[256][1].startswith(b'\x89PNG\r\n\x1a\n'))
        for size in (16, 32, 48):
            self.assertEqual(struct.unpack_from('<IiiHH', images[size][1], 0), (40, size, 2 * size, 1, 32))

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


def delay_loaded_dlls(pe, link_map):
    """The DLL names of the delay-import descriptors: from the directory where
    the linker fills it (lld), else from the link map (GNU ld leaves it empty)."""
    names = set()
    for rva in check_imports.delay_descriptors(check_imports.Pe(pe.data), link_map):
        attributes, name_rva = struct.unpack_from('<II', pe.read(rva, 8))
        if name_rva == 0:
            continue  # the directory's closing entry
        assert attributes & 1, 'delay-import descriptor without RVAs'
        names.add(pe.c_string(name_rva).lower())
    return names


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
