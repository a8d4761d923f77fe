#!/usr/bin/env python3
"""The stub's whole job on this machine, against local servers.

Builds nothing itself (scripts/demo.sh does): starts the configuration server,
the installer download server and the analytics recorder on loopback with a
local test CA that the demo Wine prefix trusts, runs the stub under Wine (in a
real window on an X display: the given DISPLAY, else Xvfb), and prints the
stub's log and what the servers received. The outcome to show is chosen by the
demo installer's exit code: installed (0), cancelled (2) or failed (1)."""
import argparse
import getpass
import json
import os
import select
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / 'build' / 'demo'
PREFIX = BUILD / 'wineprefix'
sys.path.insert(0, str(ROOT / 'tests' / 'fixtures'))
from fixture_server import FixtureServer, Response, make_certs  # noqa: E402

CONFIG_PORT, ANALYTICS_PORT, DOWNLOAD_PORT = 18643, 18644, 18646
OUTCOMES = {'installed': 0, 'cancelled': 2, 'failed': 1}
PAGE_WAIT = 10  # seconds for the cancellation page to reach the browser


def wine_env(display):
    env = {k: v for k, v in os.environ.items() if k.lower() not in ('http_proxy', 'https_proxy', 'no_proxy')}
    env.update(WINEPREFIX=str(PREFIX), WINEDEBUG='-all')
    if display:
        env['DISPLAY'] = display
    return env


def wine(env, *args, timeout=120, check=True):
    result = subprocess.run([str(ROOT / 'scripts' / 'wine-run.sh'), *map(str, args)], env=env, timeout=timeout,
                            stdin=subprocess.DEVNULL, capture_output=True)
    if check and result.returncode != 0:
        raise SystemExit(f'{args[0]} failed: {result.stdout.decode(errors="replace")}')
    return result


def prepare_prefix(env, display):
    certs = BUILD / 'certs'
    make_certs(str(certs))
    helper = BUILD / 'bin' / 'stub_test_helper.exe'
    # The demo's stub and installer are signed by the test signer, whose CA
    # the demo prefix trusts (a prefix made before that gets it added).
    if not (PREFIX / '.stub-demo-codesign-ready').exists():
        wine(env, helper, 'trust-ca', 'Z:' + str(certs / 'codesign_ca.der').replace('/', '\\'))
        (PREFIX / '.stub-demo-codesign-ready').touch()
    # A prefix without the 32-bit part this machine can run predates that part:
    # wine-run.sh makes it again.
    wow64_ready = subprocess.run([str(ROOT / 'scripts' / 'prefix-has-wow64.sh'), str(PREFIX)],
                                 timeout=30).returncode == 0
    if not ((PREFIX / '.stub-demo-ready').exists() and wow64_ready):
        wine(env, helper, 'trust-ca', 'Z:' + str(certs / 'ca.der').replace('/', '\\'))
        browser = BUILD / 'record-browser.sh'
        browser.write_text(f'#!/bin/sh\nprintf "%s\\n" "$1" >> "{BUILD / "browser-pages.txt"}"\n')
        browser.chmod(0o755)
        wine(env, 'reg', 'add', r'HKCU\Software\Wine\WineBrowser', '/v', 'Browsers', '/d', str(browser), '/f')
        (PREFIX / '.stub-demo-ready').touch()
    # Real windows on a display, windows that are never drawn without one.
    wine(env, 'reg', 'add', r'HKCU\Software\Wine\Drivers', '/v', 'Graphics', '/d', 'x11' if display else 'null', '/f')
    return certs


def wait_for_page(pages, timeout):
    """The shell hands the page to the browser in the background, a moment
    after the stub has ended: waits for it, up to timeout seconds."""
    deadline = time.monotonic() + timeout
    while not (pages.exists() and pages.read_text().strip()) and time.monotonic() < deadline:
        time.sleep(0.1)


def start_display():
    if os.environ.get('DISPLAY'):
        return os.environ['DISPLAY'], None
    if shutil.which('Xvfb') is None:
        return None, None
    display = ':71'
    xvfb = subprocess.Popen(['Xvfb', display, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    if xvfb.poll() is not None:
        return None, None
    return display, xvfb


def stand_in_for_the_desktop_shell(env):
    """Wine's desktop registers no shell window, through which the stub finds
    the signed-in user (without one it keeps its log in the administrators'
    folder and makes no shortcut): the test helper stands in for Explorer's,
    as in the scenarios. None where it could not."""
    shell = subprocess.Popen([str(ROOT / 'scripts' / 'wine-run.sh'), str(BUILD / 'bin' / 'stub_test_helper.exe'),
                              'desktop-shell', '1800'], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([shell.stdout], [], [], 60)
    line = shell.stdout.readline().decode('utf-8', 'replace').strip() if ready else 'no answer within 60 s'
    if line == 'ready':
        return shell
    shell.kill()
    shell.wait(timeout=30)
    print(f'The helper could not stand in for the desktop\'s shell ({line}): the stub runs without the user')
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('outcome', nargs='?', choices=sorted(OUTCOMES), default='installed')
    parser.add_argument('--screenshot', metavar='PNG', help='capture the screen while the demo installer shows')
    parser.add_argument('--language', metavar='LOCALE',
                        help='run the stub under this locale (LANG and LC_ALL, e.g. ja_JP.UTF-8, ar_EG.UTF-8)')
    parser.add_argument('--progress-shots', metavar='PREFIX',
                        help='download slowly (about 12 s) and capture the progress window twice, '
                             'as PREFIX-1.png and PREFIX-2.png')
    args = parser.parse_args()

    display, xvfb = start_display()
    env = wine_env(display)
    stub_env = dict(env, LANG=args.language, LC_ALL=args.language) if args.language else env
    log = PREFIX / 'drive_c' / 'users' / getpass.getuser() / 'AppData' / 'Roaming' / 'Pexmira' / 'QMXT.log'
    shell = None
    try:
        certs = prepare_prefix(env, display)
        installer = (BUILD / 'bin' / 'test_installer.exe').read_bytes()
        document = {'shortcut': True, 'wrapper': f'http://127.0.0.1:{DOWNLOAD_PORT}/tessaloom_installer.exe',
                    'checksum': zlib.crc32(installer), 'version': '1.0.0-demo'}
        with FixtureServer(str(certs), {'https': CONFIG_PORT, 'http': DOWNLOAD_PORT}) as servers, \
                FixtureServer(str(certs), {'https': ANALYTICS_PORT}) as analytics:
            servers.route('/qmx.json', Response(200, [('Content-Type', 'application/json')],
                                                json.dumps(document).encode()))
            rate = len(installer) / 12 if args.progress_shots else 4 * 1024 * 1024
            servers.route('/tessaloom_installer.exe', Response(
                200, [('Content-Type', 'application/octet-stream')], installer, rate=rate))
            analytics.route('/piwik.php', Response(204, [], b''))
            before = log.stat().st_size if log.exists() else 0
            pages = BUILD / 'browser-pages.txt'
            pages.unlink(missing_ok=True)
            code = OUTCOMES[args.outcome]
            stub_args = [f'--exit={code}', '--window=2500']
            if code == 2:
                stub_args.append('--post=cancelled by the user')
            shell = stand_in_for_the_desktop_shell(env)
            print(f'Running the stub ({args.outcome}: the demo installer ends with {code}) on '
                  f'{"display " + display if display else "no display (null graphics driver)"}...')
            stub = subprocess.Popen([str(ROOT / 'scripts' / 'wine-run.sh'), str(BUILD / 'bin' / 'tessaloom_setup.exe'),
                                     *stub_args], env=stub_env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if args.progress_shots and display:
                for number, moment in ((1, 4.0), (2, 9.0)):
                    time.sleep(moment - (4.0 if number == 2 else 0.0))
                    subprocess.run(['import', '-display', display, '-window', 'root',
                                    f'{args.progress_shots}-{number}.png'], capture_output=True, timeout=30)
            if args.screenshot and display:
                time.sleep(2.5)
                subprocess.run(['import', '-display', display, '-window', 'root', args.screenshot],
                               capture_output=True, timeout=30)
            try:
                status = stub.wait(timeout=180)
            except subprocess.TimeoutExpired:
                stub.kill()
                raise SystemExit('the stub did not end within 180 s')
            print(f'\nStub exit status: {status}\n\nStub log ({log}):')
            data = log.read_bytes()[before:] if log.exists() else b''
            navigated = b'Navigating user to cancellation page' in data
            if navigated:
                wait_for_page(pages, PAGE_WAIT)
            print(data.decode('utf-8', 'replace').replace('\r\n', '\n'), end='')
            print('\nRequests the servers received:')
            for request in sorted(servers.requests + analytics.requests, key=lambda r: r.time):
                print(f'  {request.listener:5} {request.method} {request.target}')
            if pages.exists():
                print('\nPages handed to the browser:')
                for page in pages.read_text().split():
                    print(f'  {page}')
            elif navigated:
                print(f'\nNo page reached the browser within {PAGE_WAIT} s of the stub\'s end')
    finally:
        if shell is not None:
            shell.kill()
            shell.wait(timeout=30)
        subprocess.run(['wineserver', '-k'], env=env, capture_output=True, timeout=60)
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)


if __name__ == '__main__':
    main()
