"""The installation flow: from the configuration document to the installer's
exit code, and each fatal road on the way."""
import re
import subprocess
import time
import unittest

from scenario import INSTALLER, Scenario, crc32, temp_files
from stubtest import HELPER, STUB, TEMP_DIR, helper, read_log_bytes, read_records, start, wait

SESSION = r'[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}'


def installer_path(result):
    """The installer's Windows path, from the download record."""
    for message in result.messages:
        if message.startswith('Wrapper successfully downloaded to "'):
            return message[len('Wrapper successfully downloaded to "'):-1]
        if message.startswith("Can't download wrapper to \""):
            return message[len("Can't download wrapper to \""):-1]
    return None


def linux_temp_path(windows_path):
    return TEMP_DIR / windows_path.rsplit('\\', 1)[1]


class LaunchTest(unittest.TestCase):
    def test_successful_launch(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0, '/S', '/D=C:\\Program Files\\Tessaloom'))
        self.assertEqual(result.status, 0)
        # The installer's command line: its path, then the parameter string.
        command = result.installer['command_line']
        match = re.fullmatch(r'"[^"]+" -id (' + SESSION + r') -v "1\.2\.3" (.*)', command)
        self.assertIsNotNone(match, command)
        self.assertEqual(match.group(2), ' '.join(['--record=' + result.installer['args'][4].split('=', 1)[1],
                                                   '--exit=0', '/S', '"/D=C:\\Program Files\\Tessaloom"']))
        self.assertFalse(result.installer['progress_window'], 'the progress window outlived the download')
        order = ['Downloading wrapper', 'Wrapper successfully downloaded to ', 'Checksum is OK. Continue...',
                 'Launching installer ', 'Waiting for installer to complete...']
        positions = [next(i for i, m in enumerate(result.messages) if m.startswith(p)) for p in order]
        self.assertEqual(positions, sorted(positions), result.messages)
        # The download carried the cache buster.
        download = [r.target for r in result.requests if r.path == '/qmx_installer.exe']
        self.assertEqual(len(download), 1)
        self.assertRegex(download[0], r'^/qmx_installer\.exe\?rn=\d+$')
        self.assertLessEqual(int(download[0].rsplit('=', 1)[1]), 32767)

    def test_empty_argument_string_ends_the_parameters_with_a_blank(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run()
        self.assertEqual(result.status, 0)
        launch = next(m for m in result.messages if m.startswith('Launching installer '))
        self.assertRegex(launch, r'^Launching installer "[^"]+\.exe -id ' + SESSION + r' -v "1\.2\.3" "$')

    def test_an_address_with_a_query_gets_the_buster_after_an_ampersand(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(wrapper=scenario.wrapper + '?channel=beta'))
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        download = [r.target for r in result.requests if r.path == '/qmx_installer.exe']
        self.assertRegex(download[0], r'^/qmx_installer\.exe\?channel=beta&rn=\d+$')

    def test_the_installers_exit_code_is_the_stubs(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(77))
        self.assertEqual(result.status, 77)


class FatalRoadTest(unittest.TestCase):
    def fatal(self, scenario, code, box, *args):
        result = scenario.run(*args, expect_box=True)
        self.assertEqual(result.status, code)
        self.assertEqual(result.box, box)
        self.assertIsNone(result.installer, 'the installer ran')
        self.assertNotIn('Pexmira wrapper exiting', result.messages)
        errors = [m for level, m in result.records if level == 'ERROR']
        self.assertEqual(len(errors), 1, result.records)
        return result, errors[0]

    def test_no_configuration_server(self):
        with Scenario(config_listener=None) as scenario:
            _, error = self.fatal(scenario, 1, 'Cannot obtain configuration. Error code 1')
        self.assertEqual(error, "Can't download config file")

    def test_an_untrusted_configuration_server_is_refused(self):
        with Scenario(config_listener='selfsigned') as scenario:
            scenario.serve_document()
            _, error = self.fatal(scenario, 1, 'Cannot obtain configuration. Error code 1')
        self.assertEqual(error, "Can't download config file")
        self.assertEqual([r for r in scenario.servers.requests if r.path == '/qmx_installer.exe'], [])

    def test_documents_that_are_not_json(self):
        for text in ['', '<html><body>Service unavailable</body></html>', '{"shortcut": true, "wrap',
                     '{"shortcut": true} and more']:
            with self.subTest(text=text), Scenario() as scenario:
                scenario.serve_document(text=text)
                result, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
                self.assertRegex(error, r'^Error parsing file\. Error: .+ at line \d+ and column \d+$')
                self.assertIn('Config file has been downloaded successfully', result.messages)

    def test_missing_members(self):
        for missing in ['shortcut', 'wrapper', 'checksum', 'version']:
            with self.subTest(missing=missing), Scenario() as scenario:
                document = scenario.document()
                del document[missing]
                scenario.serve_document(document)
                _, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
                self.assertTrue(error.startswith('Error parsing file. Error: '), error)

    def test_an_unreachable_installer_server(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(wrapper='http://127.0.0.1:18549/qmx_installer.exe'))
            result, error = self.fatal(scenario, 4, 'Cannot obtain installer. Error code 4')
        self.assertRegex(error, r'^Can\'t download wrapper to "C:\\.+\\qmx[0-9A-Fa-f]+\.tmp\.exe"$')

    def test_a_missing_installer_never_runs(self):
        # Wine's URL monikers save a 404 page and report success; the checksum
        # stops it then. Windows ends with code 4.
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(wrapper=scenario.wrapper.replace('qmx_installer', 'gone')))
            result = scenario.run(expect_box=True)
        self.assertIn(result.status, (4, 6))
        self.assertIn(result.box, ('Cannot obtain installer. Error code 4',
                                   'The installation file is corrupted. Error code 6'))
        self.assertIsNone(result.installer)

    def test_a_checksum_mismatch_leaves_the_download(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(checksum=crc32(scenario.installer) ^ 1))
            result, error = self.fatal(scenario, 6, 'The installation file is corrupted. Error code 6')
        self.assertEqual(error, 'Mismatch of the wrapper checksum')
        left = linux_temp_path(installer_path(result))
        self.assertTrue(left.exists(), left)
        left.unlink()

    def test_a_wrong_sha256_is_a_mismatch_and_a_malformed_one_a_document_error(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(sha256='0' * 64))
            _, error = self.fatal(scenario, 6, 'The installation file is corrupted. Error code 6')
            self.assertEqual(error, 'Mismatch of the wrapper checksum')
            scenario.serve_document(scenario.document(sha256='12ab'))
            _, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
            self.assertIn('sha256', error)

    def test_a_matching_sha256_passes(self):
        import hashlib
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(sha256=hashlib.sha256(scenario.installer).hexdigest().upper()))
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertIsNotNone(result.installer)

    def test_a_file_that_is_no_program_fails_to_launch(self):
        with Scenario() as scenario:
            scenario.serve_installer(b'This is not a Windows program.\r\n' * 100)
            scenario.serve_document()
            _, error = self.fatal(scenario, 9, 'Cannot start installer. Error code 9')
        self.assertRegex(error, r'^Can\'t launch installer "C:\\.+\.tmp\.exe"\. Error code \d+$')


class ProgressTest(unittest.TestCase):
    def test_a_slow_download_moves_the_bar_and_ends_the_window(self):
        with Scenario() as scenario:
            data = INSTALLER.read_bytes()
            padded = data + bytes(5 * 1024 * 1024 - len(data))
            scenario.serve_installer(padded, rate=3 * 1024 * 1024)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), timeout=90)
        self.assertEqual(result.status, 0)
        messages = result.messages
        start = messages.index('Downloading wrapper')
        end = messages.index('End download')
        percents = [int(m) for m in messages[start:end] if m.isdigit()]
        self.assertGreater(len(percents), 3, messages[start:end])
        self.assertEqual(percents, sorted(set(percents)))
        self.assertEqual(percents[-1], 100)
        self.assertTrue(messages[end + 1].startswith('Wrapper successfully downloaded to '))
        self.assertFalse(result.installer['progress_window'])

    def test_closing_the_window_ends_the_stub_at_once(self):
        with Scenario() as scenario:
            data = INSTALLER.read_bytes()
            scenario.serve_installer(data + bytes(5 * 1024 * 1024), rate=256 * 1024)
            scenario.serve_document()
            log_start = len(read_log_bytes())
            stub = start(STUB, *scenario.installer_args(0))
            try:
                status, out = helper('close-window', 'Downloading QMX Installer...', 30, timeout=40)
                self.assertEqual(status, 0, out)
                closed = time.monotonic()
                self.assertEqual(wait(stub, 15), 0)
                self.assertLess(time.monotonic() - closed, 10)
            finally:
                if stub.poll() is None:
                    stub.kill()
            time.sleep(0.5)
            messages = [m for _, m in read_records(log_start)]
        self.assertIn('Downloading wrapper', messages)
        for later in ('End download', 'Pexmira wrapper exiting', 'Checksum is OK. Continue...'):
            self.assertNotIn(later, messages)


if __name__ == '__main__':
    unittest.main()
