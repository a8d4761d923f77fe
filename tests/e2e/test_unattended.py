"""Unattended deployments: a silent switch of the installer toolkits on the
stub's command line shows no window and no box, opens no page and leaves no
shortcut; the log and the exit status say what happened."""
import unittest

from scenario import (SHORTCUT, STUB_COPY, UNSIGNED_INSTALLER, Scenario, clean_desktop_and_copy, crc32, sign,
                      wait_for_pages)
from stubtest import HELPER, STUB, start, wait

PROGRESS_TITLE = 'Downloading QMX Installer...'
SILENT = 'Unattended run (a silent switch on the command line): no window, no message box, no page, no shortcut'


class SilentSwitchTest(unittest.TestCase):
    def setUp(self):
        clean_desktop_and_copy()

    def tearDown(self):
        clean_desktop_and_copy()

    def test_each_silent_switch_ends_a_failing_run_with_its_code_and_no_box(self):
        # A box would keep the stub waiting: the run would reach its limit, or
        # the watcher would find and dismiss the box, and either fails it.
        with Scenario(config_listener=None) as scenario:
            for switch in ['/S', '/silent', '/VERYSILENT', '/Quiet', '/qn']:
                with self.subTest(switch=switch):
                    result = scenario.run('-ns', switch, expect_box=False, timeout=30)
                    self.assertEqual(result.status, 1)
                    self.assertLess(result.elapsed, 15)
                    self.assertEqual(result.messages[:2], ['Pexmira wrapper started', SILENT])
                    self.assertEqual(result.records[-1], ('ERROR', "Can't download config file"))

    def test_a_silent_download_shows_no_window_and_a_mismatch_no_box(self):
        with Scenario() as scenario:
            data = UNSIGNED_INSTALLER.read_bytes()
            scenario.serve_installer(sign(data + bytes(3 * 1024 * 1024)), rate=1024 * 1024)
            scenario.serve_document(scenario.document(checksum=crc32(scenario.installer) ^ 1))
            window = start(HELPER, 'window', PROGRESS_TITLE, 10, f'--owner={STUB.name}')
            try:
                # Looking before the stub starts: a window that came and went
                # before the watcher looked would go unseen.
                self.assertEqual(window.stdout.readline().decode().strip(), 'watching')
                result = scenario.run('/S', expect_box=False, timeout=60)
                self.assertEqual(wait(window, 20), 1, 'the progress window appeared')
            finally:
                if window.poll() is None:
                    window.kill()
                window.communicate()
        self.assertEqual(result.status, 6)
        self.assertIn('End download', result.messages)
        self.assertEqual(result.records[-1], ('ERROR', 'Mismatch of the wrapper checksum'))

    def test_the_whole_job_silent_installed_and_cancelled(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            installed = scenario.run(*scenario.installer_args(0, '/SILENT'), expect_box=False)
            cancelled = scenario.run(*scenario.installer_args(2, '--post=cancelled', '/SILENT'), expect_box=False)
            pages = wait_for_pages(5)
        self.assertEqual(installed.status, 0)
        self.assertEqual(installed.installer['args'][-1], '/SILENT', 'the installer gets the switch too')
        self.assertEqual(installed.messages[-1], 'Pexmira wrapper exiting')
        self.assertEqual(cancelled.status, 2)
        self.assertIn('Sent cancellation hit to PIWIK', cancelled.messages)
        self.assertNotIn('Navigating user to cancellation page', cancelled.messages)
        self.assertEqual(pages, [], 'a page was opened')
        self.assertFalse(SHORTCUT.exists() or STUB_COPY.exists(), 'a shortcut or stub copy was left')
        self.assertEqual(cancelled.messages[-1], 'Pexmira wrapper exiting')


if __name__ == '__main__':
    unittest.main()
