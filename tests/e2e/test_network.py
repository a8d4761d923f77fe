"""Enterprise and public networks: the proxy of the user's Internet settings
carries the configuration request from its first send, only the machine's
roots are trusted, and every failure tells the user under the box's first
line what to do. (A proxy's 407 for a tunnel fails under Wine as a TLS error,
12157: the proxy's challenge is shown over plain HTTP by the client's tests.)"""
import subprocess
import unittest
from contextlib import contextmanager, nullcontext

from scenario import CONFIG_BOX, CONFIG_PORT, HINTS, Scenario, write_proxy_settings
from stubtest import CERTS, helper, windows_path
from fixture_server import FixtureServer, Response  # noqa: E402  (found through stubtest's path)

PROXY_PORT = 18551
UTC = r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC'


@contextmanager
def proxy_in_settings():
    """A loopback proxy named in the user's Internet settings."""
    proxy = FixtureServer(str(CERTS), {'proxy': PROXY_PORT}).start()
    write_proxy_settings(3, f'127.0.0.1:{PROXY_PORT}')
    try:
        yield proxy
    finally:
        write_proxy_settings(1)
        proxy.stop()


@contextmanager
def root_of_the_user_only():
    """The self-signed server certificate as a root of the current user's
    store, not of the machine's."""
    der = CERTS / 'selfsigned.der'
    if not der.exists():
        subprocess.run(['openssl', 'x509', '-in', str(CERTS / 'selfsigned.pem'), '-outform', 'der', '-out', str(der)],
                       check=True, capture_output=True, timeout=60)
    status, out = helper('trust-ca', windows_path(der), 'user')
    assert status == 0, out
    try:
        yield
    finally:
        helper('trust-ca', windows_path(der), 'untrust-user')


class ConfigurationFailureTest(unittest.TestCase):
    def test_each_failure_names_its_class_and_tells_the_user_what_to_do(self):
        page = (200, 'text/html; charset=utf-8', b'<!DOCTYPE html><html><body>Sign in to the Wi-Fi</body></html>')
        cases = [
            # (what, listener, answer, context, hint, record); no hint: an unattended run, which shows no box
            ('refused', None, None, None, 'connection',
             r'The configuration request failed: no connection to the server could be made or kept\. '
             r'Error code 12029'),
            ('expired certificate', 'expired', None, None, 'clock',
             rf"The configuration server's certificate was refused: the computer's clock reads {UTC}, the "
             rf"certificate is valid from {UTC} to {UTC}\. Error code (12157|12175), certificate check 0x800B0101"),
            ('root of the user only', 'selfsigned', None, root_of_the_user_only, 'inspection',
             r"The configuration server's certificate chains to a root that only the current user trusts, not "
             r"the machine: the configuration is refused\. Error code 0x800B0109"),
            ('403', 'https', (403, 'text/html', b'<html></html>'), None, 'blocked',
             r'The configuration server answered with HTTP status 403: the network, a filter or the country '
             r'blocks the server'),
            ('451, unattended', 'https', (451, 'text/plain', b'blocked'), None, None,
             r'The configuration server answered with HTTP status 451: the network, a filter or the country '
             r'blocks the server'),
            ('sign-in page', 'https', page, None, 'sign-in',
             r"The configuration server's answer is an HTML page \(Content-Type \"text/html; charset=utf-8\"\), "
             r"not the document: a network's sign-in page answers in its place"),
        ]
        for what, listener, answer, context, hint, record in cases:
            with self.subTest(what), Scenario(config_listener=listener) as scenario:
                scenario.serve_document()
                if answer:
                    status, kind, body = answer
                    scenario.servers.route('/qmx.json', Response(status, [('Content-Type', kind)], body))
                with context() if context else nullcontext():
                    result = scenario.run(*([] if hint else ['/S']), expect_box=bool(hint))
                self.assertEqual((result.status, result.box), (1, CONFIG_BOX + '\n' + HINTS[hint] if hint else ''))
                self.assertEqual(result.records[-1], ('ERROR', "Can't download config file"))
                self.assertEqual(result.records[-2][0], 'ERROR')
                self.assertRegex(result.messages[-2], '^' + record + '$')


class UserProxyTest(unittest.TestCase):
    def test_the_proxy_of_the_users_settings_carries_the_first_send(self):
        with proxy_in_settings() as proxy, Scenario() as scenario:
            scenario.serve_document()
            result = scenario.run(*scenario.installer_args(0))
        self.assertEqual(result.status, 0, result.messages)
        self.assertIsNotNone(result.installer)
        self.assertIn(f'Requests go through the proxy "127.0.0.1:{PROXY_PORT}", the proxy named in the Internet '
                      'settings', result.log_messages)
        # Through the proxy from the first request on: the configuration
        # server saw no request that did not come through it.
        connects = [r.target for r in proxy.requests if r.method == 'CONNECT']
        self.assertEqual(connects[0], f'localhost:{CONFIG_PORT}')
        self.assertEqual(len([r for r in scenario.servers.requests if r.path == '/qmx.json']), len(
            [t for t in connects if t == f'localhost:{CONFIG_PORT}']))


if __name__ == '__main__':
    unittest.main()
