"""A run of the stub against loopback servers: the configuration server, the
installer download and the analytics recorder, with the test installer."""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from dataclasses import dataclass, field
from pathlib import Path

from stubtest import (BIN, BROWSER_PAGES, BUILD, CERTS, DESKTOP, HELPER, LANE, PREFIX, STUB, SYSTEM_TEMP, TEMP_DIR,
                      WINE_RUN, end_run_folder_programs, keep_log_below_limit, read_log_bytes, read_records, record_run,
                      start, windows_path, wine_env)
from fixture_server import FixtureServer, MatomoTracker, Response  # noqa: E402  (found through stubtest's path)

CONFIG_PORT = 18543     # the tests build's https://localhost:18543/qmx.json
ANALYTICS_PORT = 18544  # the tests build's analytics host
DOWNLOAD_PORT = 18546
INSTALLER = BIN / 'test_installer.exe'
INSTALLER32 = BIN / 'test_installer32.exe'  # the same, as a 32-bit program
# The test installer signed otherwise, or not at all (built beside it).
INSTALLERS = BIN / 'installers'
UNSIGNED_INSTALLER = INSTALLERS / 'unsigned.exe'
SHORTCUT = DESKTOP / 'Continue installation.lnk'
STUB_COPY = PREFIX / 'drive_c' / 'Program Files' / 'Tessaloom Setup' / 'qmxtl_setup.exe'
# Where a run that can't act for the desktop's user keeps its log.
ADMINISTRATORS_LOG = STUB_COPY.parent / 'Pexmira' / 'QMXT.log'
BOX_TITLE = 'We apologize!'
CONNECTIONS = r'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
CONFIG_BOX = 'Cannot obtain configuration. Error code 1'
# The line under the box's first that says what the user can do about what
# ended the configuration request.
HINTS = {
    'connection': "Check that this computer is connected to the Internet, then try again. If it is, ask your "
                  "network's administrator to allow the connection.",
    'proxy': "Your network's proxy asks for a sign-in that this program can't give. Ask your network's "
             "administrator, or try another network.",
    'clock': "Check that your computer's date and time are correct, then try again.",
    'inspection': "A program or device that inspects secure connections stands in the way. Ask your network's "
                  "administrator, or try another network.",
    'blocked': "Your network or your country blocks the connection. Try another network, or ask your network's "
               "administrator.",
    'sign-in': "Your network asks you to sign in. Open a web browser, sign in to the network, then try again.",
    'later': 'Please try again later, or from another network.',
}
NAVIGATION = 'Navigating user to cancellation page'
OPENING = 'Pexmira wrapper started'
# The shell starts the browser in the background; its page arrives a little
# after the stub has ended.
PAGE_WAIT = 10


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


# Signed programs of earlier runs, by the digest of what they were made from.
SIGNED_CACHE = BUILD / 'signed-payloads'


def sign(data, signer='signer'):
    """The bytes of a program signed by one of the test fixtures' signers
    (signer, other_signer, untrusted_signer, wrongusage_signer), as the
    build signs the test installer. A signature carries no time, so the
    result of the same bytes, signer and certificates is kept for later
    runs."""
    certs, key = CERTS / f'{signer}.pem', CERTS / f'{signer}.key'
    digest = hashlib.sha256(data)
    for part in (certs.read_bytes(), key.read_bytes()):
        digest.update(hashlib.sha256(part).digest())
    cached = SIGNED_CACHE / f'{digest.hexdigest()}.exe'
    if cached.exists():
        return cached.read_bytes()
    SIGNED_CACHE.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(prefix='stub-sign-', dir=SIGNED_CACHE) as work:
        unsigned, signed = Path(work) / 'in.exe', Path(work) / 'out.exe'
        unsigned.write_bytes(data)
        subprocess.run(['osslsigncode', 'sign', '-certs', str(certs), '-key', str(key), '-h', 'sha256',
                        '-n', 'Tessaloom test installer', '-in', str(unsigned), '-out', str(signed)], check=True,
                       capture_output=True, timeout=120)
        result = signed.read_bytes()
        os.replace(signed, cached)  # whole or not at all: the other lane may sign the same bytes
    return result


def unsigned_stub():
    """The stub as a build without signing makes it: it names no signer of its
    own and checks no installer signature."""
    return BUILD / 'unsigned-stub' / STUB.name


@dataclass
class Result:
    status: int
    box: str
    records: list
    installer: dict
    requests: list
    analytics: list      # every request that reached the analytics server
    tracked: list        # the hits a Matomo tracker records of them (fixture_server.TrackedHit)
    pages: list
    elapsed: float
    stderr: str = ''
    log: list = field(default_factory=list)  # the records with the detail records among them
    stdout: str = ''  # what the stub wrote to its standard output (its records, where no log file took them)

    @property
    def log_messages(self):
        return [message for _, message in self.log]

    @property
    def messages(self):
        return [message for _, message in self.records]


@dataclass
class Scenario:
    """Servers for one scenario; a context manager."""
    config_listener: str = 'https'
    installer: bytes = field(default_factory=lambda: INSTALLER.read_bytes())

    def __enter__(self):
        keep_log_below_limit()
        self.temp_before = temp_files()
        self.tmp = Path(tempfile.mkdtemp(prefix='stub-scenario-'))
        ports = {'http': DOWNLOAD_PORT}
        if self.config_listener:
            ports[self.config_listener] = CONFIG_PORT
        self.servers = FixtureServer(str(CERTS), ports).start()
        self.analytics = FixtureServer(str(CERTS), {'https': ANALYTICS_PORT}).start()
        self.tracker = MatomoTracker()
        self.analytics.route('/piwik.php', self.tracker.respond)
        self.serve_installer(self.installer)
        self.record = self.tmp / 'installer.json'
        self.wrapper = f'http://127.0.0.1:{DOWNLOAD_PORT}/qmx_installer.exe'
        return self

    def __exit__(self, *exc):
        self.servers.stop()
        self.analytics.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)
        # The placeholders (and downloads that a fatal road left) of this
        # scenario's runs; the runs themselves are checked for what they leave.
        for path in temp_files() - self.temp_before:
            if path.name.startswith('qmx'):
                shutil.rmtree(path, ignore_errors=True) if path.is_dir() else path.unlink(missing_ok=True)

    def serve_installer(self, data, path='/qmx_installer.exe', **behaviour):
        self.installer = data
        self.servers.route(path, Response(200, [('Content-Type', 'application/octet-stream')], data, **behaviour))

    def document(self, **members):
        """The configuration document for the served installer; members override."""
        values = {'shortcut': False, 'wrapper': self.wrapper, 'checksum': crc32(self.installer),
                  'version': '1.2.3'}
        values.update(members)
        return {k: v for k, v in values.items() if v is not None}

    def serve_document(self, document=None, text=None, **behaviour):
        body = text.encode() if text is not None else json.dumps(document or self.document()).encode()
        self.servers.route('/qmx.json', Response(200, [('Content-Type', 'application/json')], body, **behaviour))

    def installer_args(self, exit_code=0, *extra):
        return [f'--record={windows_path(self.record)}', f'--exit={exit_code}', *extra]

    def run(self, *args, expect_box=False, timeout=60, program=STUB, env=None, box_title=BOX_TITLE, page_wait=None,
            expect_start=True):
        """Runs the stub to its end. A "We apologize!" box (box_title in another
        language) is read and dismissed; one that is not expected fails the
        run, as does a run past its limit, and (unless expect_start is False)
        a run that wrote no opening record: then Wine did not start it, and its
        status says nothing of the stub. A page is waited for page_wait
        seconds, by default PAGE_WAIT where the stub navigated."""
        self.record.unlink(missing_ok=True)
        BROWSER_PAGES.unlink(missing_ok=True)
        log_start = len(read_log_bytes())
        began = time.monotonic()
        # Wine's own errors go to the run's standard error (kept in the runs'
        # log): a run that ends before its first record shows what Wine met.
        stub = start(program, *args, env={'WINEDEBUG': '-all,err+all', **(env or {})})
        # The stub also writes its records to its standard output; a full pipe
        # would stop it. They are kept: where the log file got none, they tell
        # what the run did.
        output = []
        drain = threading.Thread(target=lambda: output.append(stub.stdout.read()), daemon=True)
        drain.start()
        title = box_title if box_title.isascii() else 'hex:' + box_title.encode().hex()
        owner = f'--owner={Path(program).name}'
        # Where no box may come, none is watched for: a box would keep the
        # stub from ending, and the time limit then names it.
        watcher = None if expect_box is False else start(HELPER, 'messagebox', title, timeout, owner, env=env)
        box = ''
        try:
            while True:
                if watcher is not None and watcher.poll() is not None:
                    if watcher.returncode == 0:
                        box = watcher.stdout.read().decode('utf-8', 'replace').strip()
                    break
                if stub.poll() is not None:
                    # The watcher prints the box's text before it presses OK,
                    # and may still be ending when the stub has ended.
                    seen = read_available(watcher.stdout) if watcher is not None else ''
                    if seen and seen != 'no message box':
                        box = seen
                    break
                if time.monotonic() - began > timeout:
                    raise AssertionError(f'the stub did not end within {timeout} s{unexpected_box(title, owner, env)}')
                time.sleep(0.05)
            status = stub.wait(timeout=max(1, timeout - (time.monotonic() - began)))
        except subprocess.TimeoutExpired:
            raise AssertionError(f'the stub did not end within {timeout} s{unexpected_box(title, owner, env)}')
        finally:
            for process in (stub, watcher):
                if process is not None and process.poll() is None:
                    process.kill()
                    process.wait()
            drain.join(5)
            if not drain.is_alive():  # a program the stub started may still hold the pipe
                stub.stdout.close()
            if watcher is not None:
                watcher.stdout.close()
            # Kept in the runs' log only: with Wine's error channel on, every
            # run has some, and a module's output would bury its failures.
            stderr = record_run(stub)
            # An installer that outlived the stub (a run past its limit, or a
            # stub that does not wait) would run into the next scenario.
            for command in end_run_folder_programs():
                print(f'ended {command}, which the run left running', file=sys.stderr)
        elapsed = time.monotonic() - began
        box = box.replace('\r\n', '\n')  # the watcher prints in text mode
        records = read_records(log_start)
        if expect_start and OPENING not in [m for _, m in records]:
            # The whole log as it stood, before a later scenario moves it aside,
            # the administrators' log (which a later scenario deletes), and
            # what the stub wrote to its standard output.
            kept = f'e2e-no-opening-{time.strftime("%H%M%S")}'
            (LANE / f'{kept}.log').write_bytes(read_log_bytes())
            if ADMINISTRATORS_LOG.exists():
                shutil.copy(ADMINISTRATORS_LOG, LANE / f'{kept}.administrators.log')
            stdout = b''.join(output)
            (LANE / f'{kept}.stdout.txt').write_bytes(stdout)
            raise AssertionError(f'the stub did not start (no "{OPENING}" record after byte {log_start}; exit status '
                                 f'{status}; the logs are kept as {LANE / kept}.*; administrators\' log: '
                                 f'{ADMINISTRATORS_LOG.exists()}); its standard output: '
                                 f'{stdout.decode("utf-8", "replace")[-2000:]!r}; '
                                 f'Wine\'s standard error: {stderr.strip()[-2000:]!r}')
        if expect_box is not None and bool(box) != expect_box:
            raise AssertionError(f'message box expected: {expect_box}, seen: {box!r}')
        log = read_records(log_start, details=True)
        installer = json.loads(self.record.read_text(encoding='utf-8')) if self.record.exists() else None
        if page_wait is None:
            page_wait = PAGE_WAIT if any(m == NAVIGATION for _, m in records) else 0
        pages = wait_for_pages(page_wait)
        return Result(status, box, records, installer, self.servers.requests, self.analytics.requests,
                      self.tracker.hits, pages, elapsed, stderr, log, b''.join(output).decode('utf-8', 'replace'))


def write_proxy_settings(flags, proxy=''):
    """The user's Internet settings as Windows stores them (flags: 1 direct,
    2 named proxy, 8 automatic detection); what Wine's WinHTTP reads."""
    value = (0x46).to_bytes(4, 'little') + (7).to_bytes(4, 'little') + flags.to_bytes(4, 'little')
    for text in (proxy, '', ''):
        value += len(text).to_bytes(4, 'little') + text.encode('ascii')
    value += bytes(32)
    subprocess.run([str(WINE_RUN), 'reg', 'add', CONNECTIONS, '/v', 'DefaultConnectionSettings', '/t', 'REG_BINARY',
                    '/d', value.hex(), '/f'], env=wine_env(), check=True, capture_output=True, timeout=60)


def unexpected_box(title, owner, env):
    """The text of a box the stub shows now, dismissed, as a clause of the
    failure that it explains; empty when there is none."""
    watcher = start(HELPER, 'messagebox', title, 0, owner, env=env)
    try:
        out, _ = watcher.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        watcher.kill()
        out, _ = watcher.communicate()
    record_run(watcher)
    return f' (it showed a box: {out.decode("utf-8", "replace").strip()!r})' if watcher.returncode == 0 else ''


def read_available(stream):
    """What a program has printed so far, without waiting for more."""
    os.set_blocking(stream.fileno(), False)
    try:
        data = stream.read()
    except BlockingIOError:
        data = None
    return (data or b'').decode('utf-8', 'replace').strip()


def wait_for_pages(timeout):
    """The pages the stand-in browser has recorded, waiting up to timeout
    seconds for the first one."""
    deadline = time.monotonic() + timeout
    while True:
        pages = BROWSER_PAGES.read_text().split() if BROWSER_PAGES.exists() else []
        if pages or time.monotonic() >= deadline:
            return pages
        time.sleep(0.1)


def drain_late_pages(timeout=PAGE_WAIT):
    """Waits up to timeout seconds for a page that a run still had queued, and
    drops it, so that it cannot land in a later run's pages."""
    wait_for_pages(timeout)
    BROWSER_PAGES.unlink(missing_ok=True)


def temp_files():
    """What is in the user's and in the system's temporary folder."""
    return {p for folder in (TEMP_DIR, SYSTEM_TEMP) if folder.exists() for p in folder.iterdir()}


def clean_desktop_and_copy():
    """No shortcut and no copy. The copy's folder goes too: under Wine every
    existing folder reads as the user's, and the stub takes none of those."""
    SHORTCUT.unlink(missing_ok=True)
    shutil.rmtree(STUB_COPY.parent, ignore_errors=True)
