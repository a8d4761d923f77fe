"""Shared support of the end-to-end scenarios: the build's programs, the Wine
prefix, the stub's log file, and helpers that run Windows programs with a time
limit."""
import getpass
import os
import re
import subprocess
import sys
import time
import unittest
from pathlib import Path

BUILD = Path(os.environ.get('STUB_BUILD_DIR', Path(__file__).resolve().parents[2] / 'build' / 'tests'))
SOURCE = Path(os.environ.get('STUB_SOURCE_DIR', Path(__file__).resolve().parents[2]))
PREFIX = Path(os.environ.get('WINEPREFIX', BUILD / 'wineprefix'))
BIN = BUILD / 'bin'
STUB = BIN / 'tessaloom_setup.exe'
HELPER = BIN / 'stub_test_helper.exe'
WINE_RUN = SOURCE / 'scripts' / 'wine-run.sh'
CERTS = BUILD / 'certs'
USER_DIR = PREFIX / 'drive_c' / 'users' / getpass.getuser()
LOG_FILE = USER_DIR / 'AppData' / 'Roaming' / 'Pexmira' / 'QMXT.log'
TEMP_DIR = USER_DIR / 'Temp'
DESKTOP = USER_DIR / 'Desktop'
BROWSER_PAGES = BUILD / 'browser-pages.txt'

sys.path.insert(0, str(SOURCE / 'tests' / 'fixtures'))

RECORD = re.compile(r'^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d,\d{3}) (INFO |WARN |ERROR) (.*)$')


def wine_env():
    env = dict(os.environ)
    env['WINEPREFIX'] = str(PREFIX)
    env['WINEDEBUG'] = '-all'
    for name in ('http_proxy', 'https_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'no_proxy', 'NO_PROXY'):
        env.pop(name, None)
    return env


def windows_path(path):
    """Wine maps the Linux root to drive Z:."""
    return 'Z:' + str(Path(path).resolve()).replace('/', '\\')


def start(program, *args, env=None):
    environment = wine_env()
    environment.update(env or {})
    return subprocess.Popen([str(WINE_RUN), str(program), *map(str, args)], env=environment,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)


def run(program, *args, timeout=60):
    """Runs a program to its end; returns (exit status, standard output)."""
    process = start(program, *args)
    try:
        out, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError(f'{Path(program).name} {" ".join(map(str, args))} did not end within {timeout} s')
    return process.returncode, out.decode('utf-8', 'replace')


def helper(*args, timeout=60):
    return run(HELPER, *args, timeout=timeout)


def wait(process, timeout):
    try:
        process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise AssertionError(f'the program did not end within {timeout} s')
    return process.returncode


def read_log_bytes():
    return LOG_FILE.read_bytes() if LOG_FILE.exists() else b''


def read_records(since=0):
    """The log's records after the first `since` bytes, as (level, message)."""
    text = read_log_bytes()[since:].decode('utf-8')
    records = []
    for line in text.split('\r\n'):
        if not line:
            continue
        match = RECORD.match(line)
        if match is None:
            raise AssertionError(f'malformed log record: {line!r}')
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
        self.log_start = len(read_log_bytes())

    def records(self):
        return read_records(self.log_start)

    def messages(self):
        return [message for _, message in self.records()]
