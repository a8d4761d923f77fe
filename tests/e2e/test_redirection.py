"""The elevated stub acts by name only where no program of the user can make a
name lead elsewhere. Each scenario turns one of the stub's names into a link
to files "elsewhere" (canaries a program without administrator rights could
not touch on Windows) and runs the whole job; the canaries must come out as
they went in. Under Wine a Unix symbolic link stands in for a junction or a
file link, and renaming the run's folder stands in for what Windows' folder
descriptors forbid."""
import base64
import os
import shutil
import tempfile
import threading
import time
import unittest
from pathlib import Path

from scenario import INSTALLER, INSTALLERS, SHORTCUT, STUB_COPY, UNSIGNED_INSTALLER, Scenario, \
    clean_desktop_and_copy, unsigned_stub
from stubtest import CERTS, HELPER, LOG_FILE, STUB, SYSTEM_TEMP, TEMP_DIR, WINE_ONLY_WARNING, helper, read_log_bytes, \
    read_records, windows_path

CORRUPTED = 'The installation file is corrupted. Error code 6'


class Canaries:
    """Files elsewhere, with their contents, to be found unchanged."""

    def __init__(self):
        self.folder = Path(tempfile.mkdtemp(prefix='stub-elsewhere-'))
        self.files = {}

    def add(self, name, data=b'a file the stub must not touch'):
        path = self.folder / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        self.files[path] = data
        return path

    def assertUnchanged(self, test):
        found = sorted(p.relative_to(self.folder) for p in self.folder.rglob('*') if p.is_file())
        test.assertEqual(found, sorted(p.relative_to(self.folder) for p in self.files), 'something was made elsewhere')
        for path, data in self.files.items():
            test.assertEqual(path.read_bytes(), data, f'{path} was changed')

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def when_logged(message, action, timeout=60):
    """Runs action(records) on a thread as soon as the log has a record with
    this message; the thread is returned, to be joined."""
    start = len(read_log_bytes())

    def watch():
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            records = read_records(start)
            if any(m == message for _, m in records):
                action(records)
                return
            time.sleep(0.005)

    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def logged_path(records, prefix):
    """The Linux path of the quoted Windows path in the record with this prefix."""
    for _, message in records:
        if message.startswith(prefix):
            drive, rest = message[len(prefix) + 1:-1].split(':\\', 1)
            assert drive.upper() == 'C', message
            return SYSTEM_TEMP.parents[1].joinpath(*rest.split('\\'))
    raise AssertionError(f'no record begins with {prefix!r}')


def swap_for_link(path, target):
    """Renames path aside and puts a link to target under its name; returns the
    aside name."""
    aside = path.with_name(path.name + '.aside')
    os.rename(path, aside)
    os.symlink(target, path)
    return aside


class RedirectionTest(unittest.TestCase):
    def setUp(self):
        clean_desktop_and_copy()
        self.canaries = Canaries()

    def tearDown(self):
        self.canaries.remove()
        clean_desktop_and_copy()

    def test_a_log_folder_that_leads_elsewhere_gets_no_log(self):
        company = LOG_FILE.parent
        elsewhere = self.canaries.add('logs/other.log').parent
        company.mkdir(parents=True, exist_ok=True)
        aside = swap_for_link(company, elsewhere)
        try:
            with Scenario() as scenario:
                scenario.serve_document()
                # No log at all: the installer's record shows that it ran.
                result = scenario.run(*scenario.installer_args(0), expect_start=False)
        finally:
            company.unlink()
            os.rename(aside, company)
        self.assertEqual(result.status, 0)
        self.assertIsNotNone(result.installer, 'the run did not go on')
        self.assertEqual(result.records, [])
        self.canaries.assertUnchanged(self)

    def test_a_leftover_shortcut_that_leads_elsewhere_is_left_alone(self):
        victim = self.canaries.add('victim.lnk')
        SHORTCUT.parent.mkdir(parents=True, exist_ok=True)
        os.symlink(victim, SHORTCUT)
        try:
            for exit_code, road in ((0, 'deleted'), (2, 'written over')):
                with self.subTest(road=road), Scenario() as scenario:
                    scenario.serve_document(scenario.document(shortcut=True))
                    args = ['--post=cancelled'] if exit_code else []
                    result = scenario.run(*scenario.installer_args(exit_code, *args))
                    self.assertEqual(result.status, exit_code, result.messages)
                    left = [m for level, m in result.records if level == 'WARN' and m.startswith('The shortcut ')]
                    self.assertEqual(len(left), 1, result.records)
                    self.assertRegex(left[0], r'^The shortcut "C:\\.+\\Continue installation\.lnk" leads to ".+victim\.lnk"'
                                              r' outside the desktop; it is left alone$')
                    self.canaries.assertUnchanged(self)
        finally:
            SHORTCUT.unlink(missing_ok=True)

    def test_a_run_folder_replaced_by_a_link_while_the_installer_runs_deletes_nothing_elsewhere(self):
        moved = []

        def replace_run_folder(records):
            installer = logged_path(records, 'Wrapper successfully downloaded to ')
            folder = installer.parent
            for name in (installer.name, installer.name[:-len('.exe')]):
                self.canaries.add(f'{folder.name}/{name}')
            moved.append(swap_for_link(folder, self.canaries.folder / folder.name))

        with Scenario() as scenario:
            scenario.serve_document()
            attack = when_logged('Waiting for installer to complete...', replace_run_folder)
            result = scenario.run(*scenario.installer_args(0, '--sleep=1500'))
            attack.join(5)
        try:
            self.assertEqual(len(moved), 1, 'the folder was not replaced while the installer ran')
            self.assertEqual(result.status, 0, result.messages)
            self.canaries.assertUnchanged(self)
            self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')
        finally:
            for aside in moved:
                aside.with_name(aside.name[:-len('.aside')]).unlink(missing_ok=True)
                shutil.rmtree(aside, ignore_errors=True)

    def test_the_temporary_folder_repointed_after_the_check_starts_nothing_else(self):
        # The other program waits in a folder like the run's, under the user's
        # temporary folder as it will read after the swap.
        swapped = []

        def repoint_temp(records):
            installer = logged_path(records, 'Wrapper successfully downloaded to ')
            self.canaries.add(f'{installer.parent.name}/{installer.name}', HELPER.read_bytes())
            swapped.append(swap_for_link(TEMP_DIR, self.canaries.folder))

        try:
            with Scenario() as scenario:
                scenario.serve_document()
                attack = when_logged('Checksum is OK. Continue...', repoint_temp)
                result = scenario.run(*scenario.installer_args(0))
                attack.join(5)
        finally:
            for aside in swapped:
                TEMP_DIR.unlink()
                os.rename(aside, TEMP_DIR)
        self.assertEqual(len(swapped), 1)
        self.assertEqual(result.status, 0, result.messages)
        self.assertIsNotNone(result.installer, 'another program ran')
        self.assertEqual(result.installer['args'][:1], ['-id'])

    def run_replacing_the_stub(self, program, replacement, scenario, *args):
        """Runs a copy of program, which is renamed and replaced by replacement
        as soon as it has started."""
        folder = Path(tempfile.mkdtemp(prefix='stub-replaced-'))
        running = folder / STUB.name
        shutil.copy(program, running)
        replaced = []

        def replace(_):
            os.rename(running, folder / 'renamed.exe')
            running.write_bytes(replacement.read_bytes())
            replaced.append(True)

        try:
            attack = when_logged('Pexmira wrapper started', replace)
            result = scenario.run(*args, program=running, expect_box=None)
            attack.join(5)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(replaced, [True], 'the stub was not replaced while it ran')
        return result

    def test_the_stubs_own_file_replaced_while_it_runs(self):
        # The build's signer is compiled in: a replacement without a signature
        # does not switch the check off.
        with Scenario(installer=UNSIGNED_INSTALLER.read_bytes()) as scenario:
            scenario.serve_document()
            result = self.run_replacing_the_stub(STUB, unsigned_stub(), scenario, *scenario.installer_args(0))
        self.assertEqual((result.status, result.box), (6, CORRUPTED), result.messages)
        self.assertIn('The installer is not signed. Error code 0x800B0100', result.messages)

        # A stub signed after its build reads its signer from the file it runs
        # from, never from what is under its name now.
        with Scenario() as scenario:
            scenario.serve_document()
            result = self.run_replacing_the_stub(unsigned_stub(), STUB, scenario, *scenario.installer_args(0))
        self.assertEqual((result.status, result.box), (6, CORRUPTED), result.messages)
        self.assertIsNone(result.installer)
        self.assertRegex(result.messages[-1], r"^Unable to read the running stub's own file to learn its signer\. "
                                              r"Error code 1006$")

        # The copy the shortcut starts is never the replacement.
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            result = self.run_replacing_the_stub(STUB, unsigned_stub(), scenario,
                                                 *scenario.installer_args(2, '--post=cancelled'))
        self.assertEqual(result.status, 2, result.messages)
        self.assertFalse(STUB_COPY.exists() and STUB_COPY.read_bytes() != STUB.read_bytes(), 'the copy is the replacement')
        self.assertFalse(SHORTCUT.exists())
        self.assertTrue([m for m in result.messages if m.endswith(
            'is not the one the installer stub runs from; no stub copy and no shortcut are made. Error code 1006')])

    def test_a_root_that_only_the_user_trusts_is_refused(self):
        pem = (CERTS / 'untrusted_signer.pem').read_text()
        ca = pem[pem.index('-----BEGIN', pem.index('-----END')):]
        der = self.canaries.folder / 'untrusted_ca.der'
        der.write_bytes(base64.b64decode(''.join(ca.splitlines()[1:-1])))
        status, out = helper('trust-ca', windows_path(der), 'user')
        self.assertEqual(status, 0, out)
        try:
            with Scenario(installer=(INSTALLERS / 'untrusted_signer.exe').read_bytes()) as scenario:
                scenario.serve_document()
                result = scenario.run(*scenario.installer_args(0), expect_box=True)
        finally:
            status, out = helper('trust-ca', windows_path(der), 'untrust-user')
            self.assertEqual(status, 0, out)
        self.assertEqual((result.status, result.box), (6, CORRUPTED))
        self.assertIsNone(result.installer)
        self.assertEqual(result.records[-1][0], 'ERROR')
        self.assertRegex(result.messages[-1], r'^The installer\'s signature by "Tessaloom Test Signer" chains to a root '
                                              r'that only the current user trusts, not the machine\. Error code ')

    def test_wine_says_it_cannot_check_the_folders_protection(self):
        """Wine keeps no descriptors; the record the other scenarios leave out
        is there, once per run."""
        with Scenario() as scenario:
            scenario.serve_document()
            start = len(read_log_bytes())
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        warnings = [m for level, m in read_records(start, wine_only=True) if m.startswith(WINE_ONLY_WARNING)]
        self.assertEqual(len(warnings), 1)
        self.assertRegex(warnings[0], r'^The file system did not keep the security descriptor of "C:\\windows\\temp\\'
                                      r'qmx-[0-9a-f]{32}\\": the protection of the installer\'s folder can\'t be checked$')


if __name__ == '__main__':
    unittest.main()
