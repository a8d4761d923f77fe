"""Acting on the installer's exit code: success, cancellation, failure, and
the common tail of every outcome, with the installer as a 64-bit and as a
32-bit program (most installers publishers ship are 32-bit)."""
import subprocess
import unittest
from urllib.parse import urlsplit

from scenario import (ADMINISTRATORS_LOG, INSTALLER, INSTALLER32, SHORTCUT, STUB_COPY, Scenario,
                      clean_desktop_and_copy, temp_files)
from stubtest import DESKTOP_SHELL, SOURCE, STUB, helper, read_log_bytes, windows_path

PAGE = 'http://localhost:18545/installation-cancelled/?v='
# The records that only the shortcut and copy roads write.
COPY_AND_LINK = ('Copy wrapper to temp directory', 'Wrapper successfully copied to ', 'Failed to copy the wrapper',
                 'Attempting to create shortcut ', 'Successfully created shortcut ', 'Unable to create shortcut ',
                 'Attempting to delete shortcut ')


class OutcomeTestCase(unittest.TestCase):
    installer_file = INSTALLER
    bits = 64

    def setUp(self):
        clean_desktop_and_copy()

    def scenario(self):
        return Scenario(installer=self.installer_file.read_bytes())

    def tearDown(self):
        clean_desktop_and_copy()

    def run_outcome(self, scenario, *args, **options):
        before = temp_files()
        result = scenario.run(*args, **options)
        self.common_tail(result, before)
        # The installer really ran, as the program it was built as.
        self.assertEqual((result.installer['bits'], result.installer['wow64']), (self.bits, self.bits == 32))
        return result

    def common_tail(self, result, before):
        """Every outcome: the installer deleted, the closing record last, and
        the run's own folder (with the installer's placeholder) gone from the
        temporary folder, which is left as it was."""
        self.assertEqual(result.messages[-1], 'Pexmira wrapper exiting', result.messages)
        installer = result.installer['path']
        self.assertEqual(result.messages[-2], f'"{installer}" deleted')
        self.assertFalse([m for level, m in result.records if level == 'ERROR'], result.records)
        folder = installer.rsplit('\\', 2)[1]
        self.assertRegex(folder, r'^qmx-[0-9a-f]{32}$')
        self.assertEqual(result.installer['working_directory'].rstrip('\\'), installer.rsplit('\\', 1)[0])
        self.assertEqual(temp_files() - before, set(), 'the run left files in the temporary folder')

    def assertNoCopyOrLink(self, result):
        self.assertFalse([m for m in result.messages if m.startswith(COPY_AND_LINK)], result.messages)

    def assertCancelled(self, result, code, version='1.2.3'):
        self.assertEqual(result.status, code)
        messages = result.messages
        self.assertIn(f'Installer execution canceled. Exit code {code}', messages)
        self.assertLess(messages.index(f'Installer execution canceled. Exit code {code}'),
                        messages.index('Navigating user to cancellation page'))
        self.assertEqual(result.pages, [PAGE + version])
        self.assertEqual(result.analytics, [], 'a cancellation sends no hit')


class SuccessTest(OutcomeTestCase):
    def test_without_a_leftover_shortcut(self):
        with self.scenario() as scenario:
            scenario.serve_document()
            result = self.run_outcome(scenario, *scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertEqual(result.messages[-3], 'Installer execution has successfully completed')
        self.assertFalse([m for m in result.messages if 'shortcut' in m.lower()])
        self.assertEqual(result.analytics, [])
        self.assertEqual(result.pages, [])

    def test_a_leftover_shortcut_is_deleted(self):
        SHORTCUT.parent.mkdir(parents=True, exist_ok=True)
        SHORTCUT.write_bytes(b'left by an earlier, cancelled run')
        with self.scenario() as scenario:
            scenario.serve_document()
            result = self.run_outcome(scenario, *scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertFalse(SHORTCUT.exists())
        completed = result.messages.index('Installer execution has successfully completed')
        attempt, deleted = result.messages[completed + 1:completed + 3]
        self.assertRegex(attempt, r'^Attempting to delete shortcut "C:\\.+\\Continue installation\.lnk"$')
        self.assertEqual(deleted, attempt[len('Attempting to delete shortcut '):] + ' deleted')


class CancellationTest(OutcomeTestCase):
    def test_cancelled_without_shortcut_opens_the_page_only(self):
        with self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=False, version='2.0.1'))
            result = self.run_outcome(scenario, *scenario.installer_args(5, '--post=cancelled'))
        self.assertCancelled(result, 5, '2.0.1')
        self.assertEqual(result.installer['posted'], 1)
        self.assertIn('Sent cancellation hit to PIWIK', result.messages)
        self.assertNoCopyOrLink(result)
        self.assertFalse(STUB_COPY.exists())
        self.assertFalse(SHORTCUT.exists())

    def test_cancelled_with_shortcut_leaves_a_copy_and_a_link_to_it(self):
        with self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            result = self.run_outcome(scenario, *scenario.installer_args(2, '--post=cancelled'))
        self.assertCancelled(result, 2)
        self.assertEqual(STUB_COPY.read_bytes(), STUB.read_bytes())
        messages = result.messages
        navigated = messages.index('Navigating user to cancellation page')
        copy_road = messages[navigated + 1:navigated + 5]
        self.assertEqual(copy_road[0], 'Copy wrapper to temp directory')
        self.assertRegex(copy_road[1], r'^Wrapper successfully copied to "C:\\.+\\qmxtl_setup\.exe"$')
        copy_path = copy_road[1][len('Wrapper successfully copied to "'):-1]
        self.assertEqual(copy_path, 'C:\\Program Files\\Tessaloom Setup\\qmxtl_setup.exe',
                         'the copy is not in the administrators-only folder')
        self.assertRegex(copy_road[2], r'^Attempting to create shortcut "C:\\.+\\Continue installation\.lnk"$')
        link_path = copy_road[2][len('Attempting to create shortcut '):]
        self.assertEqual(copy_road[3], 'Successfully created shortcut ' + link_path)
        self.assertTrue(SHORTCUT.exists())
        status, out = helper('read-link', windows_path(SHORTCUT))
        self.assertEqual(status, 0, out)
        self.assertEqual(out.splitlines()[:2], [copy_path, 'Continue installation of Tessaloom'])

        # The same cancellation in the copy, started as the link starts it:
        # its own path is the copy's path, so nothing more is copied or linked.
        copied_at = STUB_COPY.stat().st_mtime_ns
        with self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            again = self.run_outcome(scenario, *scenario.installer_args(2, '--post=cancelled'), program=copy_path)
        self.assertCancelled(again, 2)
        self.assertNoCopyOrLink(again)
        self.assertEqual(STUB_COPY.stat().st_mtime_ns, copied_at)
        self.assertTrue(SHORTCUT.exists())

    def test_the_copy_started_under_other_letter_case_tries_to_copy_itself(self):
        # The comparison of the two paths is exact: in other letter case the
        # running copy counts as another file, and the copy's road is taken.
        # Its folder exists, not made by the stub (under Wine every existing
        # folder reads as the user's), so it is refused with a WARNING before
        # anything is copied: no shortcut, and the copy stays whole.
        STUB_COPY.parent.mkdir(parents=True, exist_ok=True)
        STUB_COPY.write_bytes(STUB.read_bytes())
        with self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            upper = 'C:\\PROGRAM FILES\\TESSALOOM SETUP\\' + STUB_COPY.name.upper()
            result = scenario.run(*scenario.installer_args(2, '--post=cancelled'), program=upper)
        self.assertCancelled(result, 2)
        messages = result.messages
        navigated = messages.index('Navigating user to cancellation page')
        self.assertEqual(messages[navigated + 1], 'Copy wrapper to temp directory')
        self.assertEqual(messages[navigated + 2], 'The folder "C:\\Program Files\\Tessaloom Setup\\" is not one that '
                                                  'only administrators can change; no stub copy and no shortcut are made')
        self.assertEqual(result.records[navigated + 2][0], 'WARN')
        self.assertEqual(messages[-1], 'Pexmira wrapper exiting')
        self.assertNotIn('Attempting to create shortcut ', ' '.join(messages))
        self.assertFalse(SHORTCUT.exists())
        self.assertEqual(STUB_COPY.read_bytes(), STUB.read_bytes())

    def test_the_ns_switch_prevails_over_the_document(self):
        with self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            result = self.run_outcome(scenario, *scenario.installer_args(2, '--post=cancelled', '-NS'))
        self.assertCancelled(result, 2)
        self.assertIn('-NS', result.installer['args'], 'the switch still reaches the installer')
        self.assertNoCopyOrLink(result)
        self.assertFalse(STUB_COPY.exists())
        self.assertFalse(SHORTCUT.exists())

    def test_messages_of_any_size_the_slot_takes_and_repeated_ones(self):
        # The installer posts, then lives on for a while: the message waits in
        # the slot until the stub reads it after the installer's end. A second
        # message is left unread and changes nothing.
        for extra, posted in (('--post-bytes=64', 1), ('--post-bytes=1', 1), ('--post=twice --post-count=2', 2),
                              ('--post=early --sleep=1500', 1)):
            with self.subTest(extra=extra), self.scenario() as scenario:
                scenario.serve_document()
                result = self.run_outcome(scenario, *scenario.installer_args(2, *extra.split()))
                self.assertEqual(result.installer['posted'], posted)
                self.assertCancelled(result, 2)
                self.assertLess(result.elapsed, 15)
                waiting = result.messages.index('Installer execution canceled. Exit code 2')
                self.assertEqual(result.messages[waiting + 1], 'Sent cancellation hit to PIWIK')
                self.assertFalse([m for level, m in result.records if level == 'WARN'], result.records)

    def test_no_message_from_the_installer_is_waited_for_a_few_seconds_only(self):
        with self.scenario() as scenario:
            scenario.serve_document()
            result = self.run_outcome(scenario, *scenario.installer_args(2))
        self.assertEqual(result.installer['posted'], 0)
        self.assertCancelled(result, 2)
        self.assertLess(result.elapsed, 15)
        self.assertNotIn('Sent cancellation hit to PIWIK', result.messages)
        warnings = [m for level, m in result.records if level == 'WARN']
        self.assertEqual(len(warnings), 1, result.records)
        self.assertRegex(warnings[0], r'^No cancellation message from the installer within \d+ seconds$')

    def test_a_message_longer_than_the_slot_takes_does_not_stall_the_run(self):
        # Windows refuses to post it; Wine's slot takes it, and the stub reads
        # what fits. Either way the run goes on to the page within seconds,
        # and its record says whether a message came.
        with self.scenario() as scenario:
            scenario.serve_document()
            result = self.run_outcome(scenario, *scenario.installer_args(5, '--post-bytes=200'))
        self.assertCancelled(result, 5)
        self.assertLess(result.elapsed, 15)
        received = 'Sent cancellation hit to PIWIK' in result.messages
        self.assertEqual(received, result.installer['posted'] == 1, result.messages)
        waited = [m for level, m in result.records if level == 'WARN']
        self.assertEqual(len(waited), 0 if received else 1, result.records)


class NoDesktopShellTest(OutcomeTestCase):
    def test_an_elevated_run_without_a_shell_writes_nothing_of_the_users(self):
        """Without a desktop shell the elevated stub has no user to act for
        (its linked token only identifies): the log goes to the copy's folder,
        which only administrators can change, and neither a shortcut nor a copy
        is made."""
        user_log = read_log_bytes()
        with DESKTOP_SHELL.away(), self.scenario() as scenario:
            scenario.serve_document(scenario.document(shortcut=True))
            # Its opening record is in the administrators' log, read below.
            result = scenario.run(*scenario.installer_args(2, '--post=cancelled'), expect_start=False)
        self.assertEqual(result.status, 2)
        self.assertEqual(read_log_bytes(), user_log, "the user's log was written")
        self.assertFalse(SHORTCUT.exists())
        self.assertFalse(STUB_COPY.exists())
        text = (STUB_COPY.parent / 'Pexmira' / 'QMXT.log').read_text(encoding='utf-8')
        self.assertRegex(text, r'WARN  No desktop shell runs, .* the log is kept in '
                               r'"C:\\Program Files\\Tessaloom Setup\\Pexmira", and no shortcut')
        self.assertIn("WARN  No shortcut is made: the run can't act for the desktop's user", text)
        self.assertIn('INFO  Pexmira wrapper started', text)
        self.assertTrue(text.rstrip().endswith('Pexmira wrapper exiting'), text)

    def test_without_a_folder_of_its_own_the_run_says_it_keeps_no_log(self):
        """A "Tessaloom Setup" folder that another program made may be changed
        by others: the log is not kept there, and the run's standard output
        says why."""
        with DESKTOP_SHELL.away(), self.scenario() as scenario:
            STUB_COPY.parent.mkdir(parents=True)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), expect_start=False)
        self.assertEqual(result.status, 0)
        self.assertFalse(ADMINISTRATORS_LOG.exists())
        self.assertIn("WARN  The log file could not be opened or made; this run's records go to its standard output "
                      "only. Error code 0x00000005", result.stdout)
        self.assertRegex(result.stdout, r"WARN  No desktop shell runs, .*: no log file is kept, and no shortcut")


class FailureTest(OutcomeTestCase):
    def test_a_failed_installation_sends_one_hit(self):
        for code in (1, 3, 4, 77):
            with self.subTest(code=code), self.scenario() as scenario:
                scenario.serve_document()
                result = self.run_outcome(scenario, *scenario.installer_args(code))
                self.assertEqual(result.status, code)
                self.assertEqual(result.installer['args'][0], '-id')
                session = result.installer['args'][1]
                self.assertEqual(len(result.analytics), 1, result.analytics)
                hit = result.analytics[0]
                self.assertEqual((hit.listener, hit.method), ('https', 'GET'))
                self.assertEqual(urlsplit(hit.target).path, '/piwik.php')
                visitor = session.replace('-', '')[:16]
                self.assertEqual(hit.target, f'/piwik.php?rec=1&url=nourl&apiv=1&idsite=2&_id={visitor}'
                                 f'&e_c=Undetermined&e_a=Failed&e_n={code}&uid={session}')
                # Matomo records it under the visitor the installer can compute, with the whole identifier.
                self.assertEqual(len(result.tracked), 1, result.analytics)
                tracked = result.tracked[0]
                self.assertEqual((tracked.site, tracked.visitor_id, tracked.user_id, tracked.event),
                                 (2, visitor, session, ('Undetermined', 'Failed', str(code))))
                self.assertEqual(hit.header('User-Agent'), 'WinHttpClient')
                messages = result.messages
                failed = messages.index(f'Installer execution failed. Exit code {code}')
                self.assertEqual(messages[failed + 1:failed + 3], ['Sending failed hit to Piwik',
                                                                   'Sent failed hit to Piwik'])
                self.assertEqual(result.pages, [])
                self.assertNoCopyOrLink(result)

    def test_an_analytics_server_that_is_down_changes_nothing_else(self):
        with self.scenario() as scenario:
            scenario.analytics.stop()
            scenario.serve_document()
            result = self.run_outcome(scenario, *scenario.installer_args(4))
        self.assertEqual(result.status, 4)
        self.assertEqual(result.analytics, [])
        self.assertIn('Sent failed hit to Piwik', result.messages)
        self.assertLess(result.elapsed, 30)


class ThirtyTwoBit:
    """The outcomes again with the 32-bit installer, which Wine runs only in a
    WoW64 prefix: without its 32-bit part it fails to start, or dies at once
    with exit code 0, which would pass for a success."""
    installer_file = INSTALLER32
    bits = 32


def machine_runs_32_bit_programs(*options):
    probe = SOURCE / 'scripts' / 'runs-32-bit.sh'
    return subprocess.run([str(probe), *options], stdin=subprocess.DEVNULL, timeout=30).returncode == 0


if machine_runs_32_bit_programs():
    class SuccessWith32BitInstallerTest(ThirtyTwoBit, SuccessTest):
        pass

    class CancellationWith32BitInstallerTest(ThirtyTwoBit, OutcomeTestCase):
        test_cancelled_without_shortcut_opens_the_page_only = \
            CancellationTest.test_cancelled_without_shortcut_opens_the_page_only
        test_cancelled_with_shortcut_leaves_a_copy_and_a_link_to_it = \
            CancellationTest.test_cancelled_with_shortcut_leaves_a_copy_and_a_link_to_it

    class FailureWith32BitInstallerTest(ThirtyTwoBit, OutcomeTestCase):
        test_a_failed_installation_sends_one_hit = FailureTest.test_a_failed_installation_sends_one_hit
elif machine_runs_32_bit_programs('--kernel'):
    print('32-bit installer scenarios skipped: Wine\'s 32-bit part (wine32:i386) is not installed')
else:
    class ThirtyTwoBitInstallerOnAKernelWithoutIA32Test(OutcomeTestCase):
        """This kernel runs no 32-bit programs (IA-32 emulation off), so Wine
        cannot start the 32-bit installer: the stub must say so and fail, and
        never take the start that did not happen for a finished installation."""

        def test_the_launch_fails_with_its_message_and_no_outcome(self):
            before = temp_files()
            with Scenario(installer=INSTALLER32.read_bytes()) as scenario:
                scenario.serve_document()
                result = scenario.run(*scenario.installer_args(0), expect_box=True)
            self.assertEqual((result.status, result.box), (9, 'Cannot start installer. Error code 9'))
            self.assertIsNone(result.installer, 'the 32-bit installer ran')
            errors = [m for level, m in result.records if level == 'ERROR']
            self.assertEqual(len(errors), 1, result.records)
            self.assertRegex(errors[0], r'^Can\'t launch installer "C:\\.+\.tmp\.exe"\. Error code \d+$')
            self.assertFalse([m for m in result.messages if m.startswith('Installer execution')], result.messages)
            self.assertEqual((result.analytics, result.pages), ([], []))
            self.assertEqual(temp_files() - before, set(), 'the run left files in the temporary folder')


if __name__ == '__main__':
    unittest.main()
