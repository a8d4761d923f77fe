"""Shared support of the end-to-end scenarios: the build's programs, the Wine
prefix, the stub's log file, and helpers that run Windows programs with a time
limit."""
import atexit
import contextlib
import getpass
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ.get('STUB_BUILD_DIR', Path(__file__).resolve().parents[2] / 'build' / 'tests'))
SOURCE = Path(os.environ.get('STUB_SOURCE_DIR', Path(__file__).resolve().parents[2]))
PREFIX = Path(os.environ.get('WINEPREFIX', BUILD / 'wineprefix'))
# The files of this lane of scenarios, beside its prefix: the build folder for
# the first lane, build/tests/lane-2 for the second.
LANE = PREFIX.parent
BIN = BUILD / 'bin'
STUB = BIN / 'tessaloom_setup.exe'
HELPER = BIN / 'stub_test_helper.exe'
WINE_RUN = SOURCE / 'scripts' / 'wine-run.sh'
CERTS = BUILD / 'certs'
USER_DIR = PREFIX / 'drive_c' / 'users' / getpass.getuser()
LOG_FILE = USER_DIR / 'AppData' / 'Roaming' / 'Pexmira' / 'QMXT.log'
TEMP_DIR = USER_DIR / 'Temp'
# The system's temporary folder, where each run makes its own folder.
SYSTEM_TEMP = PREFIX / 'drive_c' / 'windows' / 'temp'
DESKTOP = USER_DIR / 'Desktop'
BROWSER_PAGES = LANE / 'browser-pages.txt'
# Every run of a Windows program by the scenarios: its command, exit status and
# Wine's standard error, so that a rare failure leaves a trace.
RUNS_LOG = LANE / 'e2e-runs.log'

sys.path.insert(0, str(SOURCE / 'tests' / 'fixtures'))

RECORD = re.compile(r'^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}) (INFO |WARN |ERROR) (.*)$')
# Wine keeps no security descriptors, so every run there says that it can't
# check its folder's protection. read_records() leaves this record out; the
# hardening scenarios check that it is written.
WINE_ONLY_WARNING = 'The file system did not keep the security descriptor of "'
# The records that tell support which stub ran, what it fetched and how long
# each phase took, written between the records of the steps. read_records()
# leaves them out unless asked for, so that the scenarios read the steps; the
# scenarios of the log itself check them.
DETAIL_RECORD = re.compile(r'^(Stub version \S+, arguments ".*"|The configuration\'s address is ".*"'
                           r'|HTTP status \S+ and \d+ bytes from ".*"'
                           r'|The (configuration fetch|download|verification|installer run) took \d+ ms'
                           r'|The run acts for ".*", .*)$')
# The stub moves a log past this size aside at its start (QMXT.log.1).
LOG_LIMIT = 1024 * 1024


def wine_env():
    env = dict(os.environ)
    env['WINEPREFIX'] = str(PREFIX)
    env['WINEDEBUG'] = '-all'
    # The stub speaks the user's language; the scenarios expect U.S. English
    # unless they ask for another.
    env['LC_ALL'] = 'C.UTF-8'
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'no_proxy', 'NO_PROXY'):
        env.pop(name, None)
    return env


def windows_path(path):
    """Wine maps the Linux root to drive Z:."""
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


class DesktopShell:
    """Wine's desktop registers no shell window; on Windows, Explorer's is the
    one through which the stub finds the signed-in user. The helper stands in
    for it while the scenarios run; stop() takes it away for a scenario of a
    desktop without a shell."""
    LIFETIME = 1800

    def __init__(self):
        self.process = None
        self.absent = False

    def ensure(self):
        if self.absent or (self.process is not None and self.process.poll() is None):
            return
        self.process = start(HELPER, 'desktop-shell', self.LIFETIME, with_shell=False)
        line = self.process.stdout.readline().decode().strip()
        if line != 'ready':
            self.process.kill()
            wait(self.process, 30)
            self.process = None
            raise AssertionError(f'the helper could not stand in for the desktop shell: {line}')

    def stop(self):
        if self.process is not None:
            self.process.kill()
            wait(self.process, 30)
            self.process = None


    @contextlib.contextmanager
    def away(self):
        """No desktop shell for the length of a block."""
        self.stop()
        self.absent = True
        try:
            yield
        finally:
            self.absent = False


DESKTOP_SHELL = DesktopShell()
atexit.register(DESKTOP_SHELL.stop)


def start(program, *args, env=None, with_shell=True):
    """Starts a program under Wine, with the stand-in desktop shell running
    unless asked not to; its standard error goes to a file of its own that
    record_run() appends to the runs' log."""
    if with_shell:
        DESKTOP_SHELL.ensure()
    environment = wine_env()
    environment.update(env or {})
    stderr = tempfile.TemporaryFile()
    process = subprocess.Popen([str(WINE_RUN), str(program), *map(str, args)], env=environment,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr)
    process.stderr_file = stderr
    process.command = [Path(program).name, *map(str, args)]
    return process


def stderr_text(process):
    """Wine's standard error of a finished program (read once)."""
    stderr = getattr(process, 'stderr_file', None)
    if stderr is None or stderr.closed:
        return ''
    stderr.seek(0)
    text = stderr.read().decode('utf-8', 'replace')
    stderr.close()
    return text


def record_run(process):
    """Appends the finished program's command, exit status and standard error to
    the runs' log; returns its standard error."""
    text = stderr_text(process)
    with open(RUNS_LOG, 'a', encoding='utf-8') as log:
        log.write(f'{time.strftime("%Y-%m-%d %H:%M:%S")} status={process.returncode} '
                  f'{" ".join(getattr(process, "command", []))}\n')
        for line in text.splitlines():
            log.write(f'    stderr: {line}\n')
    return text


def run(program, *args, timeout=60):
    """Runs a program to its end; returns (exit status, standard output)."""
    process = start(program, *args)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        record_run(process)
        raise AssertionError(f'{Path(program).name} {" ".join(map(str, args))} did not end within {timeout} s')
    record_run(process)
    return process.returncode, out.decode('utf-8', 'replace')


def helper(*args, timeout=60):
    return run(HELPER, *args, timeout=timeout)


def wait(process, timeout):
    try:
        process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        record_run(process)
        raise AssertionError(f'the program did not end within {timeout} s')
    record_run(process)
    return process.returncode


# A program started from one of the stub's run folders: the installer.
RUN_FOLDER_PROGRAM = re.compile(rb'\\qmx-[0-9a-f]{32}\\[^\\]+\.exe$', re.IGNORECASE)


def prefix_processes():
    """(Linux process id, command) of every Windows program running in this
    prefix; Wine puts the program's Windows path first in the command."""
    found = []
    marker = b'WINEPREFIX=' + str(PREFIX).encode()
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open(f'/proc/{entry}/environ', 'rb') as stream:
                if marker not in stream.read().split(b'\0'):
                    continue
            with open(f'/proc/{entry}/cmdline', 'rb') as stream:
                found.append((int(entry), stream.read().split(b'\0')))
        except OSError:
            continue
    return found


def end_run_folder_programs():
    """Ends what stub runs started from their run folders and left running;
    returns their commands."""
    ended = []
    for pid, command in prefix_processes():
        if command and RUN_FOLDER_PROGRAM.search(command[0]):
            try:
                os.kill(pid, signal.SIGKILL)
                ended.append(command[0].decode('utf-8', 'replace'))
            except ProcessLookupError:
                pass
    return ended


def read_log_bytes():
    return LOG_FILE.read_bytes() if LOG_FILE.exists() else b''


def keep_log_below_limit():
    """Moves a log past half the stub's limit aside, as the stub would, so
    that no run of a scenario moves it aside under the scenario's feet (its
    records would then begin before the offset the scenario took)."""
    if LOG_FILE.exists() and LOG_FILE.stat().st_size > LOG_LIMIT // 2:
        LOG_FILE.replace(LOG_FILE.with_name(LOG_FILE.name + '.1'))


def read_records(since=0, wine_only=False, details=False):
    """The log's records after the first `since` bytes, as (level, message);
    without Wine's record of the unchecked folder and the detail records
    unless asked for."""
    text = read_log_bytes()[since:].decode('utf-8')
    records = []
    for line in text.split('\r\n'):
        if not line:
            continue
        match = RECORD.match(line)
        if match is None:
            raise AssertionError(f'malformed log record: {line!r}')
        if not wine_only and match.group(3).startswith(WINE_ONLY_WARNING):
            continue
        if details or not DETAIL_RECORD.match(match.group(3)):
            records.append((match.group(2).strip(), match.group(3)))
    return records


class HeldObject:
    """A named object held by the helper program under one of the stub's names."""

    def __init__(self, kind, tmp):
        self.release = Path(tmp) / f'release-{kind}'
        self.process = start(HELPER, 'hold', kind, 60, windows_path(self.release))
        line = self.process.stdout.readline().decode().strip()
        if line != 'ready':
            self.process.kill()
            raise AssertionError(f'the helper could not hold the {kind}: {line}')

    def close(self):
        self.release.touch()
        wait(self.process, 30)


class StubTestCase(unittest.TestCase):
    def setUp(self):
        keep_log_below_limit()
        self.log_start = len(read_log_bytes())

    def records(self):
        return read_records(self.log_start)

    def messages(self):
        return [message for _, message in self.records()]
