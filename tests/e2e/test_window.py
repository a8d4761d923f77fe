"""What a person sees and hears: the box in the user's language, the progress
window as a screen reader reads it, and Esc, which cancels as the close does."""
import json
import re
import struct
import time
import unittest

from peinfo import resources
from scenario import UNSIGNED_INSTALLER, Scenario, sign
from stubtest import HELPER, STUB, helper, read_log_bytes, read_records, record_run, start, wait

PROGRESS_TITLE = 'Downloading QMX Installer...'
OWNER = f'--owner={STUB.name}'  # not a progress window that a unit test shows
ROLE_CLIENT, ROLE_PROGRESS_BAR = 10, 0x30
LINE = re.compile(r'^\d+\.\d (KB|MB) of \d+\.\d MB(, about \d+ (s|min) left)?$')


def table_string(string_id, language):
    """A string of the built stub's string table."""
    block = resources(STUB)[(6, string_id // 16 + 1, language)]
    at = 0
    for index in range(16):
        length, = struct.unpack_from('<H', block, at)
        if index == string_id % 16:
            return block[at + 2:at + 2 + 2 * length].decode('utf-16-le')
        at += 2 + 2 * length
    raise KeyError(string_id)


def slow_installer(scenario):
    """A signed installer of 5 MiB more, served at 512 KiB/s: about ten seconds."""
    data = UNSIGNED_INSTALLER.read_bytes()
    scenario.serve_installer(sign(data + bytes(5 * 1024 * 1024)), rate=512 * 1024)
    scenario.serve_document()


class LanguageTest(unittest.TestCase):
    def test_the_box_speaks_the_users_language(self):
        # Wine takes the UI language from LANG and LC_ALL.
        with Scenario(config_listener=None) as scenario:
            for locale, language in [('de_DE.UTF-8', 0x0407), ('ja_JP.UTF-8', 0x0411)]:
                with self.subTest(locale=locale):
                    title, text = table_string(200, language), table_string(201, language)
                    # No server listens: under the first line, the line that
                    # says to check the connection (250).
                    result = scenario.run(expect_box=True, box_title=title,
                                          env={'LANG': locale, 'LC_ALL': locale})
                    self.assertEqual(result.box, text + '\n' + table_string(250, language))
                    self.assertEqual(result.status, 1)
                    # Support reads the log: it stays English.
                    self.assertEqual(result.records[-1], ('ERROR', "Can't download config file"))
        self.assertNotEqual(table_string(201, 0x0407), table_string(201, 0x0409))


class ScreenReaderTest(unittest.TestCase):
    def test_the_window_its_bar_and_its_line_are_announced(self):
        with Scenario() as scenario:
            slow_installer(scenario)
            # Three seconds into the download, when the estimate is there.
            probe = start(HELPER, 'accessible', PROGRESS_TITLE, 30, 3000, OWNER)
            try:
                result = scenario.run(*scenario.installer_args(0), timeout=90)
                out, _ = probe.communicate(timeout=30)
                self.assertEqual(probe.returncode, 0, 'the progress window never appeared')
                seen = json.loads(out.decode('utf-8'))
            finally:
                if probe.poll() is None:
                    probe.kill()
                    probe.communicate()
                record_run(probe)
        self.assertEqual(result.status, 0)
        self.assertEqual(seen['window']['name'], PROGRESS_TITLE)
        self.assertEqual(seen['window']['role'], ROLE_CLIENT)
        self.assertEqual((seen['bar']['name'], seen['bar']['role']), ('Download progress', ROLE_PROGRESS_BAR))
        self.assertRegex(seen['bar']['value'], r'^([1-9]\d?)%$', 'a percentage, neither the start nor the end')
        self.assertRegex(seen['line']['name'], LINE)
        self.assertIn('left', seen['line']['name'], 'no estimate after three seconds of a steady download')

    def test_esc_ends_the_run_as_closing_does(self):
        with Scenario() as scenario:
            slow_installer(scenario)
            log_start = len(read_log_bytes())
            stub = start(STUB, *scenario.installer_args(0))
            try:
                status, out = helper('press-escape', PROGRESS_TITLE, 30, OWNER, timeout=40)
                self.assertEqual(status, 0, out)
                pressed = time.monotonic()
                self.assertEqual(wait(stub, 15), 0)
                # A box would have kept the stub waiting.
                self.assertLess(time.monotonic() - pressed, 10)
            finally:
                if stub.poll() is None:
                    stub.kill()
                    stub.communicate()
                stub.stdout.close()
            self.assertFalse(scenario.record.exists(), 'the installer ran')
        messages = [m for _, m in read_records(log_start)]
        self.assertNotIn('End download', messages)
        self.assertNotIn('Checksum is OK. Continue...', messages)


if __name__ == '__main__':
    unittest.main()
