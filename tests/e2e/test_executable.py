"""The stub is a self-contained 64-bit Windows GUI program with its resources."""
import re
import struct
import subprocess
import unittest

from peinfo import resources
from stubtest import STUB

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

    def test_has_the_icon_group_with_four_sizes(self):
        group = resources(STUB)[(14, 102, 1033)]
        _, kind, count = struct.unpack_from('<HHH', group, 0)
        self.assertEqual(kind, 1)
        sizes = {struct.unpack_from('<B', group, 6 + 14 * i)[0] for i in range(count)}
        self.assertEqual(sizes, {16, 32, 48, 64})


if __name__ == '__main__':
    unittest.main()
