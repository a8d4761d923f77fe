"""The stub runs elevated on machines nobody controls: planted DLLs, a
swapped installer and hostile servers must not make it run anything else,
crash or hang."""
import hashlib
import json
import shutil
import tempfile
import time
import unittest
from pathlib import Path

from scenario import INSTALLER, Scenario, crc32
from stubtest import BIN, HELPER, LOG_FILE, STUB, helper, start, wait, windows_path

PLANTED_NAMES = ('winhttp.dll', 'urlmon.dll', 'comctl32.dll', 'bcrypt.dll')
# Native first, so that a DLL of that name beside a program is loaded the way
# Windows would load it.
NATIVE_FIRST = {'WINEDLLOVERRIDES': 'winhttp,urlmon,comctl32,bcrypt=n,b;mscoree,mshtml='}


class PlantedDllTest(unittest.TestCase):
    def test_dlls_beside_the_stub_are_never_loaded(self):
        folder = Path(tempfile.mkdtemp(prefix='stub-downloads-'))
        try:
            for program in (STUB, HELPER):
                shutil.copy(program, folder / program.name)
            for name in PLANTED_NAMES:
                shutil.copy(BIN / 'planted_dll.dll', folder / name)
            markers = [folder / (name + '.loaded') for name in PLANTED_NAMES]

            # A program that searches the default way loads the planted file.
            control = start(folder / HELPER.name, 'load-library', 'winhttp.dll', env=NATIVE_FIRST)
            self.assertEqual(wait(control, 60), 0)
            self.assertTrue(markers[0].exists(), 'the planted DLL should load without a restricted search')
            for marker in markers:
                marker.unlink(missing_ok=True)

            with Scenario() as scenario:
                scenario.serve_document(scenario.document(sha256=hashlib.sha256(scenario.installer).hexdigest()))
                result = scenario.run(*scenario.installer_args(0), program=folder / STUB.name, env=NATIVE_FIRST)
            self.assertEqual(result.status, 0)
            self.assertIsNotNone(result.installer)
            self.assertEqual([m.name for m in markers if m.exists()], [])
        finally:
            shutil.rmtree(folder, ignore_errors=True)


class SwappedInstallerTest(unittest.TestCase):
    def test_the_checked_file_is_the_file_that_runs(self):
        with Scenario() as scenario:
            # A large installer and a SHA-256 keep the file held long enough for
            # the attacker to try many times.
            data = INSTALLER.read_bytes() + bytes(48 * 1024 * 1024)
            scenario.serve_installer(data)
            scenario.serve_document(scenario.document(sha256=hashlib.sha256(data).hexdigest()))
            attacker = start(HELPER, 'attack-installer', windows_path(LOG_FILE), 60)
            try:
                result = scenario.run(*scenario.installer_args(0), timeout=90)
                out, _ = attacker.communicate(timeout=70)
            finally:
                if attacker.poll() is None:
                    attacker.kill()
                    attacker.communicate()
            report = json.loads(out.decode().strip().splitlines()[-1])
        # The genuine installer ran (a swapped one could not have written its
        # record or ended with 0), and while the stub held the file every write
        # and delete was refused.
        self.assertEqual(result.status, 0, result.messages)
        self.assertIsNotNone(result.installer)
        self.assertGreater(report['refused'], 0, report)


if __name__ == '__main__':
    unittest.main()
