"""The NSIS installer template (examples/installer), built with makensis and
signed by the test signer, run by the stub for the three outcomes: it reads
the whole session identifier and the version, ends with 0, 2 or its failure
code, and posts its message to the stub's mailslot before a cancellation."""
import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

from scenario import Scenario, clean_desktop_and_copy
from stubtest import BIN, HELPER, SOURCE, start, wait, windows_path

PAGE = 'http://localhost:18545/installation-cancelled/?v='
TITLE = 'Tessaloom Installer: Installation Folder'  # its first page
VERSION = '2.5.1 beta'  # a blank inside the quotes, as versions may hold
FAILED = 1603
LAUNCH = re.compile(r'^Launching installer "\S+ -id ([0-9a-f-]{36}) -v "([^"]*)" (.*)"$')


def machine_runs_32_bit_programs():
    probe = SOURCE / 'scripts' / 'runs-32-bit.sh'
    return subprocess.run([str(probe)], stdin=subprocess.DEVNULL, timeout=30).returncode == 0


class InstallerTemplateTest(unittest.TestCase):
    installer = BIN / 'nsis' / 'tessaloom_installer.exe'

    def setUp(self):
        clean_desktop_and_copy()
        self.work = Path(tempfile.mkdtemp(prefix='stub-nsis-'))

    def tearDown(self):
        clean_desktop_and_copy()
        shutil.rmtree(self.work, ignore_errors=True)

    def run_stub(self, *args, **options):
        with Scenario(installer=self.installer.read_bytes()) as scenario:
            scenario.serve_document(scenario.document(version=VERSION))
            return scenario.run(*args, timeout=90, **options)

    def launched(self, result):
        match = next(filter(None, map(LAUNCH.match, result.messages)))
        return match.group(1), match.group(2)

    def test_installed_with_the_whole_session_and_version(self):
        target = self.work / 'Tessaloom'
        result = self.run_stub('/S', f'/D={windows_path(target)}')
        self.assertEqual(result.status, 0, result.messages)
        self.assertIn('Installer execution has successfully completed', result.messages)
        session, version = self.launched(result)
        written = (target / 'tessaloom-install.txt').read_text()
        self.assertEqual(written.splitlines(), [f'session={session}', f'version={VERSION}'])
        self.assertEqual(version, VERSION)
        self.assertEqual(result.analytics, [])

    def test_a_failed_installation_ends_with_its_code_and_one_hit(self):
        # A folder where the installer writes its file: the write fails.
        target = self.work / 'Tessaloom'
        (target / 'tessaloom-install.txt').mkdir(parents=True)
        result = self.run_stub('/S', f'/D={windows_path(target)}')
        self.assertEqual(result.status, FAILED % 256, result.messages)  # Wine passes on the low byte only
        self.assertIn(f'Installer execution failed. Exit code {FAILED}', result.messages)
        session, _ = self.launched(result)
        self.assertEqual(len(result.analytics), 1, result.analytics)
        self.assertTrue(result.analytics[0].target.endswith(
            f'&_id={session.replace("-", "")[:16]}&e_c=Undetermined&e_a=Failed&e_n={FAILED}&uid={session}'))
        self.assertEqual(result.tracked[0].visitor_id, session.replace('-', '')[:16])

    def test_cancelled_by_the_user_after_posting_its_message(self):
        # The user closes the installer's first page.
        closer = start(HELPER, 'close-window', TITLE, 60)
        try:
            result = self.run_stub()
        finally:
            closed = wait(closer, 70)
        self.assertEqual(closed, 0, 'the installer\'s window never showed')
        self.assertEqual(result.status, 2, result.messages)
        self.assertIn('Installer execution canceled. Exit code 2', result.messages)
        self.assertIn('Sent cancellation hit to PIWIK', result.messages)  # the message arrived
        self.assertFalse([m for m in result.messages if m.startswith('No cancellation message')], result.messages)
        self.assertEqual(result.pages, [PAGE + VERSION.replace(' ', '%20')])


if machine_runs_32_bit_programs():
    class InstallerTemplate32BitTest(InstallerTemplateTest):
        installer = BIN / 'nsis' / 'tessaloom_installer32.exe'
else:
    print('The 32-bit installer template skipped: this machine runs no 32-bit Windows programs under Wine')


if __name__ == '__main__':
    unittest.main()
