"""The stub runs elevated on machines nobody controls: planted DLLs, a
swapped installer and hostile servers must not make it run anything else,
crash or hang."""
import hashlib
import json
import re
import shutil
import tempfile
import unittest
from pathlib import Path

from stubtest import BIN, HELPER, LOG_FILE, STUB, SYSTEM_TEMP, helper, start, wait, windows_path
from scenario import (INSTALLER, SHORTCUT, UNSIGNED_INSTALLER, Scenario, clean_desktop_and_copy, crc32, sign,
                      write_proxy_settings)
from fixture_server import Response  # noqa: E402  (found through stubtest's path)

# Windows never takes these from a program's folder: they are in its
# \KnownDlls object directory (the registry's KnownDLLs and the DLLs they
# import). Wine has no such list, so files planted under these names keep
# Wine's builtin-first order; every other name is loaded native first, the way
# Windows would search for it.
KNOWN_DLLS = {'advapi32', 'bcryptprimitives', 'cfgmgr32', 'clbcatq', 'combase', 'comdlg32', 'coml2', 'difxapi',
              'gdi32', 'gdi32full', 'gdiplus', 'imagehlp', 'imm32', 'kernel32', 'kernelbase', 'msctf', 'msvcp_win',
              'msvcrt', 'normaliz', 'nsi', 'ntdll', 'ole32', 'oleaut32', 'psapi', 'rpcrt4', 'sechost', 'setupapi',
              'shcore', 'shell32', 'shlwapi', 'ucrtbase', 'user32', 'win32u', 'wldap32', 'ws2_32'}
LOADED = re.compile(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\w+ Loaded L"(.*)" at ')


def loaded_dlls(trace, program):
    """The DLLs that the process of `program` loaded, in a +pid,+loaddll trace."""
    process, names = None, []
    for line in trace.splitlines():
        match = LOADED.match(line)
        if match is None:
            continue
        name = match.group(2).rsplit('\\', 1)[-1].lower()
        if name == program.name.lower():
            process = match.group(1)
        elif match.group(1) == process and name.endswith('.dll') and name not in names:
            names.append(name)
    return names


def post(exit_code):
    """The test installer's arguments for its message on a cancellation."""
    return ['--post=cancelled'] if exit_code in (2, 5) else []


class PlantedDllTest(unittest.TestCase):
    def test_no_dll_beside_the_stub_is_ever_loaded(self):
        folder = Path(tempfile.mkdtemp(prefix='stub-downloads-'))
        stub = folder / STUB.name
        # Direct connections, whatever an earlier scenario left: with automatic
        # detection (a new prefix's settings), Wine's WinHTTP delay-loads
        # iphlpapi.dll for the detection, and Wine resolves a system DLL's
        # delay imports from the program's folder first, whatever the program
        # set with SetDefaultDllDirectories. Windows searches its default
        # directories there, as for every other load.
        write_proxy_settings(1)
        try:
            for program in (STUB, HELPER):
                shutil.copy(program, folder / program.name)
            # Every DLL that a whole job loads: installed, and cancelled with
            # the page, the stub copy and the shortcut.
            names = []
            for exit_code, shortcut in ((0, False), (2, True)):
                with Scenario() as scenario:
                    scenario.serve_document(scenario.document(shortcut=shortcut))
                    result = scenario.run(*scenario.installer_args(exit_code, *post(exit_code)), program=stub,
                                          env={'WINEDEBUG': '+pid,+loaddll'})
                self.assertEqual(result.status, exit_code, result.messages)
                names += [name for name in loaded_dlls(result.stderr, stub) if name not in names]
                clean_desktop_and_copy()
            for required in ('user32.dll', 'winhttp.dll', 'urlmon.dll', 'comctl32.dll', 'version.dll'):
                self.assertIn(required, names)

            for name in names:
                shutil.copy(BIN / 'planted_dll.dll', folder / name)
            markers = [folder / (name + '.loaded') for name in names]
            native_first = {'WINEDLLOVERRIDES': ','.join(
                name[:-4] for name in names if name[:-4] not in KNOWN_DLLS) + '=n,b;mscoree,mshtml='}

            # A program that searches the default way loads a planted file.
            control = start(folder / HELPER.name, 'load-library', 'winhttp.dll', env=native_first)
            self.assertEqual(wait(control, 60), 0)
            self.assertTrue((folder / 'winhttp.dll.loaded').exists(),
                            'the planted DLL should load without a restricted search')
            for marker in markers:
                marker.unlink(missing_ok=True)

            for exit_code, shortcut in ((0, False), (2, True)):
                with Scenario() as scenario:
                    scenario.serve_document(scenario.document(
                        shortcut=shortcut, sha256=hashlib.sha256(scenario.installer).hexdigest()))
                    result = scenario.run(*scenario.installer_args(exit_code, *post(exit_code)), program=stub,
                                          env=native_first)
                self.assertEqual(result.status, exit_code, result.messages)
                self.assertIsNotNone(result.installer)
                if shortcut:
                    self.assertTrue(SHORTCUT.exists(), result.messages)
                    self.assertEqual(len(result.pages), 1, result.messages)
                clean_desktop_and_copy()
            self.assertEqual([m.name for m in markers if m.exists()], [])
        finally:
            clean_desktop_and_copy()
            shutil.rmtree(folder, ignore_errors=True)


class SwappedInstallerTest(unittest.TestCase):
    def test_the_checked_file_is_the_file_that_runs(self):
        """The attacker changes and deletes the download from the moment the
        download reports its end: while the stub's writing handle is still
        open, in the moment between its close and the hold, and while the file
        is held. On Windows the run's folder lets no program of the user in at
        all. Wine does not store its DACL, so there an attack may land in that
        moment: the run then ends with 5 (deleted) or 6 (changed). Either way
        a changed file never runs."""
        with Scenario() as scenario:
            # A large installer keeps the file held long enough (read again,
            # its signature checked) for the attacker to try many times.
            data = sign(UNSIGNED_INSTALLER.read_bytes() + bytes(48 * 1024 * 1024))
            scenario.serve_installer(data)
            scenario.serve_document(scenario.document(sha256=hashlib.sha256(data).hexdigest()))
            attacker = start(HELPER, 'attack-installer', windows_path(LOG_FILE), windows_path(SYSTEM_TEMP), 60)
            try:
                result = scenario.run(*scenario.installer_args(0), timeout=90, expect_box=None)
                out, _ = attacker.communicate(timeout=70)
            finally:
                if attacker.poll() is None:
                    attacker.kill()
                    attacker.communicate()
            report = json.loads(out.decode().strip().splitlines()[-1])
        self.assertTrue(report['found'], report)
        self.assertGreater(report['written'] + report['refused'] + report['deleted'], 0, 'no attack reached the file')
        # A changed file that ran would fail to start (9) or not write the
        # genuine installer's record.
        self.assertIn(result.status, (0, 5, 6), (report, result.messages))
        if result.status == 0:
            self.assertIsNotNone(result.installer)
        else:
            # Deleted (5) or changed (6) before the hold: nothing runs.
            self.assertIsNone(result.installer)
            self.assertEqual(result.records[-1][0], 'ERROR')
            self.assertRegex(result.messages[-1], r'^Failed to open the file |was changed between its download and its check$')


CONFIG_BOXES = {1: 'Cannot obtain configuration. Error code 1', 3: 'Cannot obtain configuration. Error code 3'}
INSTALLER_BOXES = {4: 'Cannot obtain installer. Error code 4', 6: 'The installation file is corrupted. Error code 6'}


class HostileServerTest(unittest.TestCase):
    """Each ends in an error box within the request time-outs, or runs the
    installer it has verified; nothing else runs. The roads that take half a
    minute or more each are driven once elsewhere: a configuration server that
    stalls (the client's deadline tests, on a short deadline, and the
    configuration deadline's scenario); an installer server that closes before
    answering (the download's unit tests, on a fast clock, and the dead-link
    scenario's refused connections), that cuts the file or announces more than
    it sends (the retries' scenario of a server that always cuts at the same
    byte: both end a transfer short of its announced length)."""

    def ends_in(self, scenario, boxes, timeout=60):
        try:
            result = scenario.run(*scenario.installer_args(0), expect_box=True, timeout=timeout)
        finally:
            scenario.__exit__(None, None, None)
        self.assertIn(result.status, boxes, result.messages)
        self.assertEqual(result.box.split('\n')[0], boxes[result.status])  # under it, what the user can do
        self.assertIsNone(result.installer, 'something ran')
        self.assertFalse([m for m in result.messages if m.startswith('Launching installer')])
        return result

    def config(self, **behaviour):
        scenario = Scenario().__enter__()
        scenario.serve_document(**behaviour)
        return scenario

    def test_configuration_server_resets_the_connection(self):
        result = self.ends_in(self.config(close_before_response=True), {1: CONFIG_BOXES[1]})
        self.assertIn("Can't download config file", result.messages)
        result = self.ends_in(self.config(reset=True), {1: CONFIG_BOXES[1]})

    def runs_only_what_was_verified(self, scenario, timeout=60):
        """A server that announces more than it sends, then closes, has sent
        all there is: the stub either ends in an error box or runs the
        installer it has verified."""
        try:
            result = scenario.run(*scenario.installer_args(0), expect_box=None, timeout=timeout)
        finally:
            scenario.__exit__(None, None, None)
        if result.box:
            self.assertIsNone(result.installer)
        else:
            self.assertEqual(result.status, 0)
            self.assertIn('Checksum is OK. Continue...', result.messages)
            self.assertIsNotNone(result.installer)

    def test_configuration_server_closes_mid_body_or_announces_more(self):
        self.ends_in(self.config(cut_after=20), CONFIG_BOXES)
        self.runs_only_what_was_verified(self.config(content_length_override=100000))

    def test_configuration_document_too_large_or_too_deep(self):
        scenario = self.config()
        scenario.serve_document(text='{"pad": "' + 'x' * (200 * 1024 * 1024) + '"}')
        self.ends_in(scenario, {1: CONFIG_BOXES[1]}, timeout=120)
        scenario = self.config()
        scenario.serve_document(text='[' * 100000 + ']' * 100000)
        result = self.ends_in(scenario, {3: CONFIG_BOXES[3]})
        self.assertTrue(any(m.startswith('Error parsing file. Error: ') for m in result.messages))

    def test_an_installer_server_that_stalls_after_the_headers_is_left_for_another_attempt(self):
        scenario = self.config()
        attempts = []

        def answer(request):
            attempts.append(request)
            return Response(200, [('Content-Type', 'application/octet-stream')], scenario.installer,
                            stall_after_headers=len(attempts) == 1)

        scenario.servers.route('/qmx_installer.exe', answer)
        scenario.serve_document()
        try:
            result = scenario.run(*scenario.installer_args(0), timeout=150)
        finally:
            scenario.__exit__(None, None, None)
        self.assertEqual(result.status, 0, result.messages)
        self.assertIsNotNone(result.installer)
        self.assertEqual(len(attempts), 2)
        given_up = result.messages.index('No data from the installer\'s server for 30 seconds; the download is '
                                         'given up')
        self.assertTrue([m for m in result.messages[given_up + 1:] if m.startswith('Trying the download again in ')],
                        result.messages)
        self.assertGreaterEqual(result.elapsed, 30)

    def test_a_huge_installer_that_does_not_match(self):
        scenario = self.config()
        scenario.servers.route('/huge.exe', Response(200, [('Content-Type', 'application/octet-stream')],
                                                     bytes(200 * 1024 * 1024)))
        scenario.serve_document(scenario.document(wrapper=f'http://127.0.0.1:18546/huge.exe'))
        self.ends_in(scenario, {6: INSTALLER_BOXES[6]}, timeout=180)

    def test_a_redirect_from_https_to_plain_http_runs_nothing_else(self):
        """The plain-HTTP server sends a forgery whose CRC-32 is the genuine
        installer's. The storage binding reports the redirect, under Wine as
        on Windows, and the stub refuses it at once (4): the forgery is never
        checked, let alone run."""
        forged = forge_crc32(UNSIGNED_INSTALLER.read_bytes() + b'swapped', crc32(INSTALLER.read_bytes()))
        self.assertEqual(crc32(forged), crc32(INSTALLER.read_bytes()))
        scenario = self.config()
        scenario.servers.route('/other.exe', Response(200, [], forged))
        scenario.servers.route('/moved.exe', Response(302, [('Location', 'http://127.0.0.1:18546/other.exe')], b''))
        scenario.serve_document(scenario.document(wrapper='https://localhost:18543/moved.exe'))
        try:
            result = scenario.run(*scenario.installer_args(0), expect_box=True)
        finally:
            scenario.__exit__(None, None, None)
        self.assertEqual(result.status, 4, result.messages)
        self.assertEqual(result.box, INSTALLER_BOXES[4])
        self.assertIsNone(result.installer, 'the forgery ran')
        self.assertIn('The installer\'s download was redirected from HTTPS to "http://127.0.0.1:18546/other.exe"; '
                      'the redirect is refused', result.messages)
        self.assertFalse(any(m.startswith('Checksum is OK') for m in result.messages), result.messages)


def forge_crc32(data, target):
    """data with four bytes appended that make its CRC-32 the target: what
    anyone who can change the file or the transfer can do."""
    table = [0] * 256
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table[i] = c
    # Run the register back from the wanted final value over four unknown
    # bytes, then choose the bytes that lead from the data's register there.
    register = target ^ 0xFFFFFFFF
    top = {table[i] >> 24: i for i in range(256)}
    indexes = []
    for _ in range(4):
        index = top[register >> 24]
        indexes.append(index)
        register = ((register ^ table[index]) << 8) & 0xFFFFFFFF
    current = crc32(data) ^ 0xFFFFFFFF
    suffix = bytearray()
    for index in reversed(indexes):
        byte = (current ^ index) & 0xFF
        suffix.append(byte)
        current = (current >> 8) ^ table[(current ^ byte) & 0xFF]
    return data + bytes(suffix)


if __name__ == '__main__':
    unittest.main()
