"""Start-up of the stub: the single-instance guard, the log and the channels."""
import getpass
import re
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

from peinfo import resources
from scenario import Scenario
from stubtest import (LOG_FILE, LOG_LIMIT, STUB, WINE_RUN, HeldObject, StubTestCase, helper, prefix_processes,
                      read_log_bytes, read_records, run, start, wait, windows_path, wine_env)

# The prefix's own application-data folder, as the registry names it.
APPDATA_WINDOWS = 'C:\\users\\' + LOG_FILE.parents[3].name + '\\AppData\\Roaming'

ADDR_NO_RANDOMIZE = 0x0040000  # of a Linux process's personality

RECORD_LINE = re.compile(rb'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} (INFO |WARN |ERROR) [^\r\n]*\r\n')
OLD_LOG = LOG_FILE.with_name('QMXT.log.1')


def file_version(program):
    """The file version of a program's version resource, as Explorer shows it."""
    data = resources(program)[(16, 1, 1033)]
    fixed = data.index(b'\xbd\x04\xef\xfe')
    high, low = struct.unpack_from('<II', data, fixed + 8)
    return f'{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}'


class StartupTest(StubTestCase):
    def run_to_box(self, *args):
        """Runs the stub until its "We apologize!" box, reads it and presses OK."""
        stub = start(STUB, *args)
        status, text = helper('messagebox', 'We apologize!', 30)
        self.assertEqual(status, 0, 'no "We apologize!" box appeared')
        return wait(stub, 30), text.strip()

    def test_records_have_the_fixed_format_and_runs_append(self):
        with Scenario() as scenario:
            scenario.serve_document()
            for _ in range(2):
                self.assertEqual(scenario.run().status, 0)
        data = read_log_bytes()[self.log_start:]
        self.assertRegex(data, rb'^(' + RECORD_LINE.pattern + rb')+$')
        lines = data.split(b'\r\n')
        self.assertRegex(lines[0], rb'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  Pexmira wrapper started$')
        # Which stub it was, from its version resource, and its (here empty) arguments.
        version = file_version(STUB).encode()
        self.assertRegex(lines[1], rb'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  Stub version ' +
                         re.escape(version) + rb', arguments ""$')
        # Whom it acts for, found through the desktop's shell (the helper stands in for Explorer).
        self.assertRegex(lines[2], rb'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  The run acts for "[^"]*\\' +
                         re.escape(getpass.getuser().encode()) + rb'", the user of the desktop\'s shell$')
        self.assertRegex(lines[3], rb'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  Mailslot created successfully$')
        self.assertRegex(lines[4], rb'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  Downloading config file$')
        messages = self.messages()
        self.assertEqual(messages.count('Pexmira wrapper started'), 2)
        second = messages.index('Pexmira wrapper started', 1)
        self.assertEqual(messages[second - 1], 'Pexmira wrapper exiting')
        self.assertEqual(messages[-1], 'Pexmira wrapper exiting')

    def test_a_running_stub_makes_the_next_one_return_at_once(self):
        # The guard is machine-wide; an unattended run says that it did nothing
        # with a status of its own, never the success a deployment tool reads.
        with tempfile.TemporaryDirectory() as tmp:
            held = HeldObject('mutex', tmp)
            try:
                for args, expected in ((('/S',), 12), ((), 0)):
                    status, _ = run(STUB, *args, timeout=30)
                    self.assertEqual(status, expected, args)
                    self.assertEqual(read_log_bytes()[self.log_start:], b'')
                    self.assertNotEqual(helper('window', 'We apologize!', 0)[0], 0)
            finally:
                held.close()
        # Once the other stub is gone, a stub runs normally.
        with Scenario() as scenario:
            scenario.serve_document()
            self.assertEqual(scenario.run().status, 0)
        self.assertIn('Pexmira wrapper started', self.messages())

    def test_a_taken_mailslot_ends_with_error_code_8(self):
        with tempfile.TemporaryDirectory() as tmp:
            held = HeldObject('mailslot', tmp)
            try:
                status, text = self.run_to_box()
            finally:
                held.close()
        self.assertEqual(text, 'Failed to create communication slot. Error code 8')
        self.assertEqual(status, 8)
        records = self.records()
        self.assertEqual(records[0], ('INFO', 'Pexmira wrapper started'))
        self.assertEqual(records[-1][0], 'ERROR')
        self.assertRegex(records[-1][1], r'^CreateMailslot failed with error code \d+$')
        self.assertNotIn('Mailslot created successfully', self.messages())

    def test_another_object_under_the_event_name_ends_with_error_code_7(self):
        with tempfile.TemporaryDirectory() as tmp:
            held = HeldObject('semaphore', tmp)
            try:
                status, text = self.run_to_box('-ns')
            finally:
                held.close()
        self.assertEqual(text, 'Failed to create communication event. Error code 7')
        self.assertEqual(status, 7)
        records = self.records()
        self.assertEqual(records[0], ('INFO', 'Pexmira wrapper started'))
        self.assertEqual(records[-1][0], 'ERROR')
        self.assertRegex(records[-1][1], r'^CreateEvent failed with error code [1-9]\d*$')


class AddressLayoutTest(unittest.TestCase):
    def test_the_prefix_programs_run_without_address_randomization(self):
        """A randomized heap of Wine's loader covers the shared user data's page
        about once in a thousand starts, and the program then ends before it
        runs (scripts/wine-run.sh). The session's own programs, which Wine
        started from the programs the scripts started, show that the setting
        reaches every program."""
        with Scenario():  # the desktop's stand-in shell runs
            layouts = {}
            for pid, command in prefix_processes():
                if not command[0].lower().endswith(b'.exe'):
                    continue  # the Wine server, the tests themselves
                try:
                    personality = int(Path(f'/proc/{pid}/personality').read_text(), 16)
                except (OSError, ValueError):
                    continue  # it ended meanwhile
                name = command[0].decode('utf-8', 'replace').rsplit('\\', 1)[-1].lower()
                layouts[f'{name} ({pid})'] = bool(personality & ADDR_NO_RANDOMIZE)
        self.assertTrue(any(name.startswith('explorer.exe') for name in layouts), layouts)
        self.assertTrue(all(layouts.values()), layouts)


class LogSizeTest(unittest.TestCase):
    def test_a_log_past_its_limit_is_moved_aside_and_the_new_one_starts_afresh(self):
        # The older QMXT.log.1 a link to a file elsewhere: the log replaces
        # the link and never writes through it.
        with tempfile.TemporaryDirectory() as tmp, Scenario() as scenario:
            elsewhere = Path(tmp) / 'elsewhere.txt'
            elsewhere.write_bytes(b'not the log')
            # The first scenario of a new prefix finds no log folder yet.
            OLD_LOG.parent.mkdir(parents=True, exist_ok=True)
            OLD_LOG.unlink(missing_ok=True)
            OLD_LOG.symlink_to(elsewhere)
            line = b'2026-12-01 10:00:00,000 INFO  an earlier run\r\n'
            old = line * (LOG_LIMIT // len(line))
            old += b'x' * (LOG_LIMIT + 1 - len(old))
            LOG_FILE.write_bytes(old)
            scenario.serve_document()
            # The log starts afresh: its records are read from its start below.
            result = scenario.run('/S', expect_start=False)
            self.assertEqual(result.status, 0, result.messages)
            self.assertEqual(elsewhere.read_bytes(), b'not the log')
        self.assertFalse(OLD_LOG.is_symlink())
        self.assertEqual(OLD_LOG.read_bytes(), old)
        records = read_records(0, details=True)
        moved = f'{APPDATA_WINDOWS}\\Pexmira\\QMXT.log.1'
        self.assertEqual([m for _, m in records[:3]], [
            'Pexmira wrapper started', f'Stub version {file_version(STUB)}, arguments "/S"',
            f'The log had grown to {LOG_LIMIT + 1} bytes; it was moved to "{moved}" and starts afresh'])
        self.assertEqual(records[-1], ('INFO', 'Pexmira wrapper exiting'))


SHELL_FOLDERS = r'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer'


class ApplicationDataFolder:
    """Moves the user's application-data folder for the length of a block."""

    def __init__(self, path):
        self.path = path

    @staticmethod
    def set(key, kind, value):
        subprocess.run([str(WINE_RUN), 'reg', 'add', f'{SHELL_FOLDERS}\\{key}', '/v', 'AppData', '/t', kind,
                        '/d', value, '/f'], env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60, check=True)

    def __enter__(self):
        for key in ('User Shell Folders', 'Shell Folders'):
            self.set(key, 'REG_SZ', windows_path(self.path))
        return self

    def __exit__(self, *exc):
        self.set('User Shell Folders', 'REG_EXPAND_SZ', '%USERPROFILE%\\AppData\\Roaming')
        self.set('Shell Folders', 'REG_SZ', APPDATA_WINDOWS)


class LogFolderTest(unittest.TestCase):
    def test_an_application_data_folder_beyond_the_code_page_gets_its_log(self):
        # A user name in Cyrillic and Chinese letters, which no Western code
        # page holds.
        with tempfile.TemporaryDirectory() as tmp:
            folder = Path(tmp) / '\u0416\u0435\u043d\u044f \u5f20\u4f1f' / 'AppData' / 'Roaming'
            folder.mkdir(parents=True)
            with ApplicationDataFolder(folder), Scenario() as scenario:
                scenario.serve_document()
                result = scenario.run(*scenario.installer_args(0), expect_start=False)
            log = folder / 'Pexmira' / 'QMXT.log'
            # The records went to that folder, not to the log the scenario reads.
            self.assertEqual(result.status, 0, (log.read_bytes().decode('utf-8', 'replace') if log.exists()
                                                else 'no log') + f'\nbox: {result.box!r}\n{result.stderr}')
            self.assertTrue(log.exists(), 'no log was written')
            text = log.read_bytes().decode('utf-8')
            self.assertRegex(text, r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3} INFO  Pexmira wrapper started\r\n')
            self.assertTrue(text.endswith('INFO  Pexmira wrapper exiting\r\n'), text[-200:])


if __name__ == '__main__':
    unittest.main()
