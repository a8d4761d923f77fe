"""Enterprise and public networks: the proxy of the user's Internet settings
carries the configuration request from its first send, a proxy that asks for
a Windows logon is answered at most once, only the machine's roots are
trusted, and every failure tells the user under the box's first line what
to do."""
import subprocess
import unittest
from contextlib import contextmanager

from scenario import CONFIG_BOX, CONFIG_PORT, HINTS, Scenario
from stubtest import CERTS, helper, wine_env, windows_path
from fixture_server import NEGOTIATE, FixtureServer, Response  # noqa: E402  (found through stubtest's path)

PROXY_PORT = 18551
CONNECTIONS = r'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections'
UTC = r'\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC'


def write_proxy_settings(flags, proxy=''):
    """The user's Internet settings as Windows stores them (flags: 1 direct,
    2 named proxy, 8 automatic detection); what Wine's WinHTTP reads."""
    value = (0x46).to_bytes(4, 'little') + (7).to_bytes(4, 'little') + flags.to_bytes(4, 'little')
    for text in (proxy, '', ''):
        value += len(text).to_bytes(4, 'little') + text.encode('ascii')
    value += bytes(32)
    subprocess.run(['wine', 'reg', 'add', CONNECTIONS, '/v', 'DefaultConnectionSettings', '/t', 'REG_BINARY',
                    '/d', value.hex(), '/f'], env=wine_env(), check=True, capture_output=True, timeout=60)


@contextmanager
def proxy_in_settings(proxy_auth=None):
    """A loopback proxy named in the user's Internet settings."""
    proxy = FixtureServer(str(CERTS), {'proxy': PROXY_PORT}, proxy_auth=proxy_auth).start()
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
        def page(scenario):
            scenario.servers.route('/qmx.json', Response(200, [('Content-Type', 'text/html; charset=utf-8')],
                                                         b'<!DOCTYPE html><html><body>Sign in to the hotel '
                                                         b'Wi-Fi</body></html>'))

        def forbidden(scenario):
            scenario.servers.route('/qmx.json', Response(403, [('Content-Type', 'text/html')], b'<html></html>'))

        cases = [
            # (what, listener, serve, context, hint, record)
            ('refused', None, None, None, 'connection',
             r'The configuration request failed: no connection to the server could be made or kept\. '
             r'Error code 12029'),
            ('expired certificate', 'expired', None, None, 'clock',
             rf"The configuration server's certificate was refused: the computer's clock reads {UTC}, the "
             rf"certificate is valid from {UTC} to {UTC}\. Error code (12157|12175), certificate check 0x800B0101"),
            ('root of the user only', 'selfsigned', None, root_of_the_user_only, 'inspection',
             r"The configuration server's certificate chains to a root that only the current user trusts, not "
             r"the machine: the configuration is refused\. Error code 0x800B0109"),
            ('403', 'https', forbidden, None, 'blocked',
             r'The configuration server answered with HTTP status 403: the network, a filter or the country '
             r'blocks the server'),
            ('sign-in page', 'https', page, None, 'sign-in',
             r"The configuration server's answer is an HTML page \(Content-Type \"text/html; charset=utf-8\"\), "
             r"not the document: a network's sign-in page answers in its place"),
            ('proxy wants a Windows logon', 'https', None, lambda: proxy_in_settings(NEGOTIATE), 'proxy',
             r'The configuration server answered with HTTP status 407: the proxy asks for credentials \(it offers '
             r'Negotiate, NTLM\); the signed-in user\'s were refused'),
        ]
        for what, listener, serve, context, hint, record in cases:
            with self.subTest(what), Scenario(config_listener=listener) as scenario:
                scenario.serve_document()
                if serve:
                    serve(scenario)
                with context() if context else _nothing() as proxy:
                    result = scenario.run(expect_box=True)
                self.assertEqual((result.status, result.box), (1, CONFIG_BOX + '\n' + HINTS[hint]), result.messages)
                self.assertEqual(result.records[-1], ('ERROR', "Can't download config file"))
                self.assertEqual(result.records[-2][0], 'ERROR')
                self.assertRegex(result.messages[-2], '^' + record + '$')
                self.assertNotIn('Parsing config file', result.messages)
                if proxy is not None:
                    # Challenged twice: the first request, then the one with
                    # the user's logon. Never a third.
                    connects = [r for r in proxy.requests if r.method == 'CONNECT']
                    self.assertEqual(len(connects), 2, [r.to_json() for r in proxy.requests])

    def test_an_unattended_run_logs_the_class_and_shows_nothing(self):
        with Scenario() as scenario:
            scenario.servers.route('/qmx.json', Response(451, [('Content-Type', 'text/plain')], b'blocked'))
            result = scenario.run('/S', expect_box=False, timeout=30)
        self.assertEqual(result.status, 1)
        self.assertEqual(result.records[-2:], [
            ('ERROR', 'The configuration server answered with HTTP status 451: the network, a filter or the '
                      'country blocks the server'),
            ('ERROR', "Can't download config file")])


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


@contextmanager
def _nothing():
    yield None


if __name__ == '__main__':
    unittest.main()
