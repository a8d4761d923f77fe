"""Acting on the installer's exit code: success, cancellation, failure, and
the common tail of every outcome."""
import time
import unittest
from urllib.parse import parse_qs, urlsplit

from scenario import SHORTCUT, STUB_COPY, Scenario, clean_desktop_and_copy, temp_files
from stubtest import BROWSER_PAGES, STUB, helper

COPY_WINDOWS_PATH = None  # set from the stub's own records


def wait_for_pages(timeout=10):
    """The browser is started by the shell in the background."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if BROWSER_PAGES.exists() and BROWSER_PAGES.read_text().strip():
            return BROWSER_PAGES.read_text().split()
        time.sleep(0.1)
    return []


class OutcomeTestCase(unittest.TestCase):
    def setUp(self):
        clean_desktop_and_copy()

    def tearDown(self):
        clean_desktop_and_copy()

    def common_tail(self, result, before):
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')
        deleted = [m for m in result.messages if m.endswith('.tmp.exe" deleted')]
        self.assertEqual(len(deleted), 1, result.messages)
        # Of the temporary folder's files only the installer is gone; its
        # placeholder stays.
        added = temp_files() - before
        self.assertEqual(len([name for name in added if name.startswith('qmx') and name.endswith('.tmp')]), 1, added)
        self.assertFalse([name for name in added if name.endswith('.tmp.exe')], added)


class SuccessTest(OutcomeTestCase):
    def test_without_a_leftover_shortcut(self):
        with Scenario() as scenario:
            scenario.serve_document()
            before = temp_files()
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertIn('Installer execution has successfully completed', result.messages)
        self.assertFalse([m for m in result.messages if 'shortcut' in m.lower()])
        self.common_tail(result, before)

    def test_a_leftover_shortcut_is_deleted(self):
        SHORTCUT.parent.mkdir(parents=True, exist_ok=True)
        SHORTCUT.write_bytes(b'left by an earlier, cancelled run')
        with Scenario() as scenario:
            scenario.serve_document()
            before = temp_files()
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertFalse(SHORTCUT.exists())
        attempt = next(m for m in result.messages if m.startswith('Attempting to delete shortcut "'))
        self.assertTrue(attempt.endswith('\\Continue installation.lnk"'), attempt)
        self.assertIn(attempt[len('Attempting to delete shortcut '):] + ' deleted', result.messages)
        self.common_tail(result, before)


class CancellationTest(OutcomeTestCase):
    def test_cancelled_without_shortcut_opens_the_page_only(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=False, version='2.0.1'))
            before = temp_files()
            result = scenario.run(*scenario.installer_args(5, '--post=cancelled'))
            pages = wait_for_pages()
        self.assertEqual(result.status, 5)
        self.assertEqual(pages, ['http://localhost:18545/installation-cancelled/?v=2.0.1'])
        messages = result.messages
        self.assertIn('Installer execution canceled. Exit code 5', messages)
        self.assertIn('Sent cancellation hit to PIWIK', messages)
        self.assertIn('Navigating user to cancellation page', messages)
        self.assertNotIn('Copy wrapper to temp directory', messages)
        self.assertFalse(STUB_COPY.exists())
        self.assertFalse(SHORTCUT.exists())
        self.assertEqual(result.analytics, [])
        self.common_tail(result, before)

    def test_cancelled_with_shortcut_leaves_a_copy_and_a_link_to_it(self):
        STUB_COPY.write_bytes(b'an older copy')
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            result = scenario.run(*scenario.installer_args(2, '--post=cancelled'))
        self.assertEqual(result.status, 2)
        self.assertEqual(STUB_COPY.read_bytes(), STUB.read_bytes(), 'the older copy was not replaced')
        messages = result.messages
        copied = next(m for m in messages if m.startswith('Wrapper successfully copied to "'))
        copy_path = copied[len('Wrapper successfully copied to "'):-1]
        self.assertTrue(copy_path.endswith('\\qmxtl_setup.exe'), copy_path)
        link = next(m for m in messages if m.startswith('Successfully created shortcut "'))
        self.assertTrue(link.endswith('\\Continue installation.lnk"'))
        self.assertTrue(SHORTCUT.exists())
        status, out = helper('read-link', 'Z:' + str(SHORTCUT).replace('/', '\\'))
        self.assertEqual(status, 0, out)
        target, description = out.splitlines()[:2]
        self.assertEqual(target.lower(), copy_path.lower())
        self.assertEqual(description, 'Continue installation of Tessaloom')

        # The same cancellation in the copy, started through the link: nothing
        # more is copied or linked.
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            again = scenario.run(*scenario.installer_args(2, '--post=cancelled'), program=copy_path)
        self.assertEqual(again.status, 2)
        self.assertIn('Navigating user to cancellation page', again.messages)
        self.assertFalse([m for m in again.messages if 'copy' in m.lower() or 'shortcut' in m.lower()],
                         again.messages)
        self.assertEqual(again.messages[-1], 'Pexmira wrapper exiting')

    def test_the_ns_switch_prevails_over_the_document(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            result = scenario.run(*scenario.installer_args(2, '--post=cancelled', '-NS'))
        self.assertEqual(result.status, 2)
        self.assertIn('-NS', result.installer['args'], 'the switch still reaches the installer')
        self.assertNotIn('Copy wrapper to temp directory', result.messages)
        self.assertFalse(STUB_COPY.exists())
        self.assertFalse(SHORTCUT.exists())

    def test_messages_of_any_size_the_slot_takes_and_repeated_ones(self):
        for extra in ('--post-bytes=64', '--post-bytes=1', '--post=twice --post-count=2'):
            with self.subTest(extra=extra), Scenario() as scenario:
                scenario.serve_document()
                began = time.monotonic()
                result = scenario.run(*scenario.installer_args(2, *extra.split()))
                self.assertLess(time.monotonic() - began, 15)
                self.assertIn('Sent cancellation hit to PIWIK', result.messages)
                self.assertFalse([m for level, m in result.records if level == 'WARN'], result.records)

    def test_no_message_from_the_installer_is_waited_for_a_few_seconds_only(self):
        with Scenario() as scenario:
            scenario.serve_document()
            began = time.monotonic()
            result = scenario.run(*scenario.installer_args(2))
            elapsed = time.monotonic() - began
            pages = wait_for_pages()
        self.assertEqual(result.status, 2)
        self.assertLess(elapsed, 20)
        self.assertNotIn('Sent cancellation hit to PIWIK', result.messages)
        warnings = [m for level, m in result.records if level == 'WARN']
        self.assertEqual(warnings, ['No cancellation message from the installer within 5 seconds'])
        self.assertEqual(len(pages), 1)
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')


class FailureTest(OutcomeTestCase):
    def test_a_failed_installation_sends_one_hit(self):
        for code in (1, 3, 4, 77):
            with self.subTest(code=code), Scenario() as scenario:
                scenario.serve_document()
                before = temp_files()
                result = scenario.run(*scenario.installer_args(code))
                self.assertEqual(result.status, code)
                session = result.installer['args'][1]
                self.assertEqual(len(result.analytics), 1, result.analytics)
                hit = urlsplit(result.analytics[0].target)
                self.assertEqual(hit.path, '/piwik.php')
                self.assertEqual(parse_qs(hit.query), {
                    'rec': ['1'], 'url': ['nourl'], 'apiv': ['1'], 'idsite': ['2'], '_id': [session],
                    'e_c': ['Undetermined'], 'e_a': ['Failed'], 'e_n': [str(code)]})
                self.assertEqual(result.analytics[0].header('User-Agent'), 'WinHttpClient')
                messages = result.messages
                self.assertLess(messages.index(f'Installer execution failed. Exit code {code}'),
                                messages.index('Sending failed hit to Piwik'))
                self.assertLess(messages.index('Sending failed hit to Piwik'),
                                messages.index('Sent failed hit to Piwik'))
                self.common_tail(result, before)

    def test_an_analytics_server_that_is_down_changes_nothing_else(self):
        with Scenario() as scenario:
            scenario.analytics.stop()
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(42))
        self.assertEqual(result.status, 42)
        self.assertIn('Sent failed hit to Piwik', result.messages)
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting')


if __name__ == '__main__':
    unittest.main()
