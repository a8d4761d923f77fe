"""The installation flow: from the configuration document to the installer's
exit code, and each fatal road on the way."""
import datetime
import hashlib
import json
import re
import time
import unittest

from scenario import (CONFIG_BOX, CONFIG_PORT, HINTS, INSTALLER, UNSIGNED_INSTALLER, Scenario, crc32, sign,
                      unsigned_stub, write_proxy_settings)
from stubtest import (HELPER, STUB, SYSTEM_TEMP, USER_DIR, helper, read_log_bytes, read_records, start, wait,
                      windows_path)
from fixture_server import Response  # noqa: E402  (found through stubtest's path)

SESSION = r'[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}'
PROGRESS_TITLE = 'Downloading QMX Installer...'
# What the download callback writes while the data arrives.
DOWNLOAD_RECORDS = re.compile(r'^(\d+|Finding resource\.\.\.|Connecting\.\.\.|Begin download|Sending request\.\.\.|'
                              r'Mime type available|Cache filename available|Status code : \d+)$')
FIVE_MIB = 5 * 1024 * 1024
CONNECTION_HINT, INSPECTION_HINT = HINTS['connection'], HINTS['inspection']
PROXY_HINT, LATER_HINT = HINTS['proxy'], HINTS['later']


def installer_path(result):
    """The installer's Windows path, from the download record."""
    for message in result.messages:
        for prefix in ('Wrapper successfully downloaded to "', "Can't download wrapper to \""):
            if message.startswith(prefix):
                return message[len(prefix):-1]
    return None


def linux_temp_path(windows_path):
    """The download's path: its folder of the run's own in the system's temporary folder."""
    return SYSTEM_TEMP.joinpath(*windows_path.rsplit('\\', 2)[1:])


def record_times(since, message):
    """The Unix times of the log records with this message after `since` bytes."""
    times = []
    for line in read_log_bytes()[since:].decode('utf-8').split('\r\n'):
        if line[30:] == message:  # date and time, level, message
            times.append(datetime.datetime.strptime(line[:23], '%Y-%m-%d %H:%M:%S,%f').timestamp())
    return times


def downloads(result, path='/qmx_installer.exe'):
    return [r.target for r in result.requests if r.path == path]


class LaunchTest(unittest.TestCase):
    def assertBuster(self, target, base, separator):
        self.assertTrue(target.startswith(base + separator), target)
        number = target[len(base + separator):]
        self.assertRegex(number, r'^(0|[1-9]\d*)$')
        self.assertLessEqual(int(number), 32767)

    def test_successful_launch(self):
        cache = USER_DIR / 'AppData' / 'Local' / 'Microsoft' / 'Windows' / 'INetCache'
        cached = lambda: set(cache.rglob('qmx_installer*')) if cache.exists() else set()
        cached_before = cached()
        with Scenario() as scenario:
            scenario.serve_document()
            log_start = len(read_log_bytes())
            result = scenario.run(*scenario.installer_args(0, '/S', '/D=C:\\Program Files\\Tessaloom'))
            checked_at = record_times(log_start, 'Checksum is OK. Continue...')
        self.assertEqual(result.status, 0)
        # The installer is the verified download, started with the parameter
        # string: -id, the session, -v, the quoted version, the stub's own
        # arguments (Wine quotes the one with a blank when it builds the stub's
        # command line, and the stub passes that text on unchanged).
        self.assertEqual(result.installer['path'], installer_path(result))
        self.assertRegex(result.installer['path'], r'^C:\\.+\\qmx[0-9A-Fa-f]{1,4}\.tmp\.exe$')
        command = result.installer['command_line']
        expected_tail = ' '.join([f'--record={windows_path(scenario.record)}', '--exit=0', '/S',
                                  '"/D=C:\\Program Files\\Tessaloom"'])
        match = re.fullmatch(r'"([^"]+)" -id (' + SESSION + r') -v "1\.2\.3" (.*)', command)
        self.assertIsNotNone(match, command)
        self.assertEqual(match.group(3), expected_tail)
        self.assertEqual(result.installer['args'][:4], ['-id', match.group(2), '-v', '1.2.3'])
        # It ran only after the check, and the progress window was gone by then.
        self.assertEqual(len(checked_at), 1)
        self.assertGreaterEqual(result.installer['start'], checked_at[0] - 0.01)
        self.assertEqual(cached() - cached_before, set(), 'the download stayed in the Internet cache')
        self.assertFalse(result.installer['progress_window'], 'the progress window outlived the download')
        order = ['Downloading wrapper', 'Wrapper successfully downloaded to "', 'Checksum is OK. Continue...',
                 'Launching installer "', 'Waiting for installer to complete...']
        positions = [next(i for i, m in enumerate(result.messages) if m.startswith(p)) for p in order]
        self.assertEqual(positions, sorted(positions), result.messages)
        launch = result.messages[positions[3]]
        self.assertEqual(launch, f'Launching installer "{result.installer["path"]} -id {match.group(2)} '
                                 f'-v "1.2.3" {expected_tail}"')
        # One download, with the cache buster.
        targets = downloads(result)
        self.assertEqual(len(targets), 1, targets)
        self.assertBuster(targets[0], '/qmx_installer.exe', '?rn=')

    def test_empty_argument_string_ends_the_parameters_with_a_blank(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run()
        self.assertEqual(result.status, 0)
        launch = next(m for m in result.messages if m.startswith('Launching installer '))
        self.assertRegex(launch, r'^Launching installer "[^"]+\.exe -id ' + SESSION + r' -v "1\.2\.3" "$')

    def test_an_address_with_a_query_gets_the_buster_after_an_ampersand(self):
        # Over HTTPS this time, from the configuration server's trusted listener.
        with Scenario() as scenario:
            wrapper = f'https://localhost:{CONFIG_PORT}/qmx_installer.exe?channel=beta'
            scenario.serve_document(scenario.document(wrapper=wrapper))
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        targets = downloads(result)
        self.assertEqual(len(targets), 1, targets)
        self.assertBuster(targets[0], '/qmx_installer.exe?channel=beta', '&rn=')

    def test_the_installers_exit_code_is_the_stubs(self):
        with Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(77))
        self.assertEqual(result.status, 77)
        self.assertEqual(result.installer['args'][5], '--exit=77')


class VersionTest(unittest.TestCase):
    """The version travels between double quotes on the installer's command
    line; one that would change how the installer splits it never runs."""

    def test_versions_that_travel_and_versions_that_are_refused(self):
        for version in ('1.2 beta', '\u0432\u0435\u0440\u0441\u0438\u044f 2', 'C:\\builds\\1.0'):
            with self.subTest(version=version), Scenario() as scenario:
                scenario.serve_document(scenario.document(version=version))
                result = scenario.run(*scenario.installer_args(0, '/S'))
                self.assertEqual(result.status, 0, result.messages)
                args = result.installer['args']
                self.assertEqual(args[2:4], ['-v', version])
                self.assertEqual(args[-1], '/S', 'the stub\'s own arguments follow, whole')
        for version, why in (('1.0\\', 'it ends with a backslash'), ('1" /D=C:\\x', 'it contains a double quote'),
                             ('1.0\r\n2026-12-08 10:00:00,000 INFO  forged', 'it contains a control character')):
            with self.subTest(version=version), Scenario() as scenario:
                scenario.serve_document(scenario.document(version=version))
                result = scenario.run(*scenario.installer_args(0), expect_box=True)
                self.assertEqual((result.status, result.box), (3, 'Cannot obtain configuration. Error code 3'))
                self.assertIsNone(result.installer, 'the installer ran')
                # The record is one line, the control characters written visibly.
                level, error = result.records[-1]
                self.assertEqual(level, 'ERROR')
                self.assertTrue(error.endswith(': ' + why), error)
                self.assertNotIn('forged', result.messages, 'a record was forged')

    def test_a_cancellation_page_for_a_version_beyond_ascii(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(version='\u0432\u0435\u0440\u0441\u0438\u044f 2 & more'))
            result = scenario.run(*scenario.installer_args(2))
        self.assertEqual(result.status, 2)
        self.assertEqual(result.pages, ['http://localhost:18545/installation-cancelled/?v='
                                        '%D0%B2%D0%B5%D1%80%D1%81%D0%B8%D1%8F%202%20%26%20more'])


class LongDownloadTest(unittest.TestCase):
    def test_data_that_keeps_coming_for_longer_than_the_stall_limit(self):
        # 35 seconds of steady data, past the 30 s stall limit: the watchdog
        # must tell a notification within the current clock tick from none at
        # all.
        with Scenario() as scenario:
            data = UNSIGNED_INSTALLER.read_bytes()
            scenario.serve_installer(sign(data + bytes(7 * 1024 * 1024 - len(data))), rate=200 * 1024)
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0), timeout=120)
        self.assertEqual(result.status, 0, result.messages)
        self.assertIsNotNone(result.installer)
        self.assertGreater(result.elapsed, 35)
        self.assertFalse([m for level, m in result.records if level != 'INFO'], result.records)


def first_out_of_order(messages, patterns):
    """The first pattern that no message matches after those that matched the
    patterns before it; None when all match in this order."""
    position = 0
    for pattern in patterns:
        position = next((i + 1 for i in range(position, len(messages)) if re.fullmatch(pattern, messages[i])), None)
        if position is None:
            return pattern
    return None


class SupportDetailTest(unittest.TestCase):
    def test_a_run_names_its_stub_each_answer_and_each_phase_time(self):
        with Scenario() as scenario:
            scenario.serve_document()
            arguments = scenario.installer_args(4)
            result = scenario.run(*arguments)
        self.assertEqual(result.status, 4)
        body = json.dumps(scenario.document()).encode()
        config, hit = '"https://localhost:18543/qmx.json"', '"https://localhost:18544/piwik.php"'
        took = lambda phase: f'The {phase} took \\d+ ms'
        expected = [
            re.escape('Pexmira wrapper started'),
            r'Stub version \d+\.\d+\.\d+\.\d+, arguments ' + re.escape(f'"{" ".join(arguments)}"'),
            re.escape('Downloading config file'), re.escape(f"The configuration's address is {config}"),
            re.escape(f'HTTP status 200 and {len(body)} bytes from {config}'),
            re.escape('Config file has been downloaded successfully'), took('configuration fetch'),
            re.escape('Downloading wrapper'), 'Wrapper successfully downloaded to .+', took('download'),
            re.escape('Checksum is OK. Continue...'), took('verification'),
            re.escape('Waiting for installer to complete...'), took('installer run'),
            re.escape('Installer execution failed. Exit code 4'), re.escape('Sending failed hit to Piwik'),
            re.escape(f'HTTP status 204 and 0 bytes from {hit}'), re.escape('Sent failed hit to Piwik'),
            re.escape('Pexmira wrapper exiting')]
        self.assertIsNone(first_out_of_order(result.log_messages, expected), result.log_messages)


class FatalRoadTest(unittest.TestCase):
    def fatal(self, scenario, code, box, *args, causes=0, **options):
        """A run that ends on a fatal road: the box, the code, one ERROR record
        as the last record (after `causes` ERROR records that say why), and
        no installer run."""
        result = scenario.run(*args, expect_box=True, **options)
        self.assertEqual(result.status, code)
        self.assertEqual(result.box, box)
        self.assertIsNone(result.installer, 'the installer ran')
        errors = [m for level, m in result.records if level == 'ERROR']
        self.assertEqual(len(errors), 1 + causes, result.records)
        self.assertEqual(result.records[-1 - causes:], [('ERROR', error) for error in errors], result.records)
        self.assertEqual(result.messages[0], 'Pexmira wrapper started')
        return result, errors[-1]

    def test_no_configuration_server(self):
        with Scenario(config_listener=None) as scenario:
            result, error = self.fatal(scenario, 1, CONFIG_BOX + '\n' + CONNECTION_HINT, causes=1)
        self.assertEqual(error, "Can't download config file")
        # WinHTTP's "cannot connect", and how long the fetch took.
        self.assertEqual(result.log_messages[-5:], [
            'Downloading config file', 'The configuration\'s address is "https://localhost:18543/qmx.json"',
            'The configuration request failed: no connection to the server could be made or kept. Error code 12029',
            "Can't download config file",
            result.log_messages[-1]])
        self.assertRegex(result.log_messages[-1], r'^The configuration fetch took \d+ ms$')

    def test_an_untrusted_configuration_server_is_refused(self):
        with Scenario(config_listener='selfsigned') as scenario:
            scenario.serve_document()
            result, error = self.fatal(scenario, 1, CONFIG_BOX + '\n' + INSPECTION_HINT, causes=1)
        self.assertEqual(error, "Can't download config file")
        self.assertRegex(result.messages[-2], r"^The configuration server's certificate was refused: it does not "
                                              r"chain to a root this computer trusts, or is issued for another name "
                                              r"\(an inspecting proxy or security program may stand in between\)\. "
                                              r"Error code (12175|12157), certificate check 0x800B0109$")
        self.assertEqual(downloads(result), [])

    def test_a_configuration_answer_other_than_200(self):
        # A document in the body changes nothing: only a 200 answer carries it.
        write_proxy_settings(1)  # direct: a 407 then comes from no proxy
        for status, record, hint in [
                (404, 'The configuration server answered with HTTP status 404', LATER_HINT),
                (407, 'The configuration server answered with HTTP status 407: the proxy asks for credentials '
                      '(it offers NTLM); no proxy is configured for the request', PROXY_HINT)]:
            with self.subTest(status=status), Scenario() as scenario:
                headers = [('Content-Type', 'application/json')]
                if status == 407:
                    headers.append(('Proxy-Authenticate', 'NTLM'))
                scenario.servers.route('/qmx.json', Response(status, headers, json.dumps(scenario.document()).encode()))
                result = scenario.run(expect_box=True)
                self.assertEqual((result.status, result.box), (1, CONFIG_BOX + '\n' + hint))
                self.assertIsNone(result.installer, 'the installer ran')
                self.assertEqual(result.records[-2:], [('ERROR', record), ('ERROR', "Can't download config file")])
                self.assertNotIn('Parsing config file', result.messages)
                self.assertEqual(downloads(result), [])

    def test_a_wrapper_that_is_not_a_web_address(self):
        # The installer itself, which URL monikers would copy from the disk.
        wrapper = 'file:///' + windows_path(INSTALLER).replace('\\', '/')
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(wrapper=wrapper))
            result, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
        self.assertEqual(error, f'Error parsing file. Error: "wrapper" is not an https or http address: "{wrapper}"')
        self.assertEqual(downloads(result), [])

    def test_documents_that_are_not_json(self):
        for text in ['', '<html><body>Service unavailable</body></html>', '{"shortcut": true, "wrap',
                     '{"shortcut": true} and more']:
            with self.subTest(text=text), Scenario() as scenario:
                scenario.serve_document(text=text)
                result, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
                self.assertRegex(error, r'^Error parsing file\. Error: .+ at line \d+ and column \d+$')
                self.assertEqual(result.messages[-3:-1], ['Config file has been downloaded successfully',
                                                          'Parsing config file'])
                self.assertEqual(downloads(result), [])

    def test_missing_members(self):
        # "checksum" and "version" are read only after the download.
        for missing, downloaded in [('shortcut', False), ('wrapper', False), ('checksum', True),
                                    ('version', True)]:
            with self.subTest(missing=missing), Scenario() as scenario:
                document = scenario.document()
                del document[missing]
                scenario.serve_document(document)
                result, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
                self.assertTrue(error.startswith('Error parsing file. Error: '), error)
                self.assertEqual(len(downloads(result)), int(downloaded))

    # An installer server that can't be reached is tried again until a minute
    # passes without progress: the download's unit tests drive that ("always
    # dropped") on a fast clock; the dead-link scenario retries refused
    # connections for real, and the retries' scenario gives up after a minute.

    def test_a_missing_installer_is_not_tried_again(self):
        # Wine's URL monikers save a 404 page and report success: the status
        # the download's answer carried tells.
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(wrapper=scenario.wrapper.replace('qmx_installer', 'gone')))
            result, error = self.fatal(scenario, 4, 'Cannot obtain installer. Error code 4')
        self.assertEqual(error, f'Can\'t download wrapper to "{installer_path(result)}"')
        self.assertIn("The installer's server answered with HTTP status 404 (attempt 1)", result.messages)
        self.assertEqual(len(downloads(result, '/gone.exe')), 1)

    def test_a_checksum_mismatch_leaves_the_download(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(checksum=crc32(scenario.installer) ^ 1))
            result, error = self.fatal(scenario, 6, 'The installation file is corrupted. Error code 6')
            self.assertEqual(error, 'Mismatch of the wrapper checksum')
            left = linux_temp_path(installer_path(result))
            self.assertEqual(left.read_bytes(), scenario.installer)

    def test_a_wrong_sha256_is_a_mismatch_and_a_malformed_one_a_document_error(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(sha256='0' * 64))
            _, error = self.fatal(scenario, 6, 'The installation file is corrupted. Error code 6')
            self.assertEqual(error, 'Mismatch of the wrapper checksum')
            scenario.serve_document(scenario.document(sha256='12ab'))
            _, error = self.fatal(scenario, 3, 'Cannot obtain configuration. Error code 3')
            self.assertIn('sha256', error)

    def test_a_matching_sha256_passes(self):
        with Scenario() as scenario:
            scenario.serve_document(scenario.document(sha256=hashlib.sha256(scenario.installer).hexdigest().upper()))
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0)
        self.assertIsNotNone(result.installer)

    def test_a_file_that_is_no_program_fails_to_launch(self):
        with Scenario() as scenario:
            scenario.serve_installer(b'This is not a Windows program.\r\n' * 100)
            scenario.serve_document()
            # A stub that checks no signature gets as far as the launch.
            result, error = self.fatal(scenario, 9, 'Cannot start installer. Error code 9', program=unsigned_stub())
        path = installer_path(result)
        self.assertRegex(error, r'^Can\'t launch installer "' + re.escape(path) + r'"\. Error code [1-9]\d*$')
        self.assertIn('Checksum is OK. Continue...', result.messages)
        self.assertNotIn('Waiting for installer to complete...', result.messages)


class ProgressTest(unittest.TestCase):
    def test_a_slow_download_moves_the_bar_and_ends_the_window(self):
        with Scenario() as scenario:
            data = UNSIGNED_INSTALLER.read_bytes()
            scenario.serve_installer(sign(data + bytes(FIVE_MIB - len(data))), rate=3 * 1024 * 1024)
            scenario.serve_document()
            window = start(HELPER, 'window', PROGRESS_TITLE, 30, f'--owner={STUB.name}')
            try:
                result = scenario.run(*scenario.installer_args(0), timeout=90)
                self.assertEqual(wait(window, 30), 0, 'the progress window never appeared')
            finally:
                if window.poll() is None:
                    window.kill()
                window.communicate()
        self.assertEqual(result.status, 0)
        messages = result.messages
        begin = messages.index('Downloading wrapper')
        end = messages.index('End download')
        percents = [int(m) for m in messages[begin:end] if m.isdigit()]
        self.assertGreater(len(percents), 3, messages[begin:end])
        self.assertEqual(percents, sorted(set(percents)), 'the percentages did not rise strictly')
        self.assertEqual(percents[-1], 100)
        self.assertEqual(messages.count('End download'), 1)
        self.assertTrue(messages[end + 1].startswith('Wrapper successfully downloaded to '), messages[end:])
        # The installer starts right after the check: the window was gone by
        # then. (The installer looks for its parent's window.)
        self.assertEqual(result.installer['parent'], STUB.name)
        self.assertFalse(result.installer['progress_window'])

    def test_closing_the_window_ends_the_stub_at_once(self):
        with Scenario() as scenario:
            data = UNSIGNED_INSTALLER.read_bytes()
            scenario.serve_installer(sign(data + bytes(FIVE_MIB)), rate=256 * 1024)
            scenario.serve_document()
            log_start = len(read_log_bytes())
            stub = start(STUB, *scenario.installer_args(0))
            try:
                status, out = helper('close-window', PROGRESS_TITLE, 30, f'--owner={STUB.name}', timeout=40)
                self.assertEqual(status, 0, out)
                closed = time.monotonic()
                self.assertEqual(wait(stub, 15), 0)
                self.assertLess(time.monotonic() - closed, 10)
            finally:
                if stub.poll() is None:
                    stub.kill()
                    stub.communicate()
                stub.stdout.close()
            time.sleep(0.5)
            messages = [m for _, m in read_records(log_start)]
            self.assertFalse(scenario.record.exists(), 'the installer ran')
        # Nothing after the download's own progress: no end, no check, no tail.
        begin = messages.index('Downloading wrapper')
        self.assertEqual([m for m in messages[begin + 1:] if not DOWNLOAD_RECORDS.match(m)], [], messages)
        self.assertFalse([m for m in messages if m.isdigit() and int(m) >= 100], messages)


if __name__ == '__main__':
    unittest.main()
