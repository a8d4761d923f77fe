"""Scenarios of tessaloom-publish: publications, good and faulty, served by the
loopback fixture servers, and what the command says a user's stub would do
with them."""
import hashlib
import json
import os
import subprocess
import sys
import tempfile
import unittest
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(os.environ['STUB_SOURCE_DIR']) / 'tests' / 'fixtures'))
from fixture_server import FixtureServer, Response  # noqa: E402
from time_stamping import TimeStampingServer  # noqa: E402

PUBLISH = os.environ['PUBLISH_BIN']
CERTS = Path(os.environ['PUBLISH_CERTS'])
SAMPLE = Path(os.environ['PUBLISH_SAMPLE'])
SIGNER = 'Tessaloom Test Signer'
CODESIGN_CA = str(CERTS / 'codesign_ca.pem')
JSON_UTF8 = [('Content-Type', 'application/json; charset=utf-8')]


def sign(data, signer='signer'):
    """The bytes signed by one of the test signers (signer, other_signer, ...)."""
    with tempfile.TemporaryDirectory(prefix='publish-sign-') as work:
        unsigned, signed = Path(work) / 'in.exe', Path(work) / 'out.exe'
        unsigned.write_bytes(data)
        subprocess.run(['osslsigncode', 'sign', '-certs', str(CERTS / f'{signer}.pem'),
                        '-key', str(CERTS / f'{signer}.key'), '-h', 'sha256', '-n', 'Tessaloom sample',
                        '-in', str(unsigned), '-out', str(signed)], check=True, capture_output=True, timeout=120)
        return signed.read_bytes()


def publish(*args, timeout=120):
    return subprocess.run([PUBLISH, *map(str, args)], capture_output=True, text=True, timeout=timeout)


def steps(output):
    """(mark, step, text) of each line the command printed."""
    return [tuple(line.split(None, 2)) + ('',) * (3 - len(line.split(None, 2)))
            for line in output.splitlines() if line.strip()]


def document(installer, wrapper, **members):
    values = {'shortcut': False, 'wrapper': wrapper, 'checksum': zlib.crc32(installer) & 0xFFFFFFFF,
              'version': '2.5.1', 'sha256': hashlib.sha256(installer).hexdigest(), 'size': len(installer)}
    values.update(members)
    return {k: v for k, v in values.items() if v is not None}


SIGNED = sign(SAMPLE.read_bytes())
OTHER_SIGNED = sign(SAMPLE.read_bytes(), 'other_signer')


class Servers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.servers = FixtureServer(str(CERTS), {'https': 0, 'http': 0, 'selfsigned': 0}).start()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()

    def url(self, path, listener='https'):
        return f'{"http" if listener == "http" else "https"}://127.0.0.1:{self.servers.ports[listener]}{path}'

    def serve(self, path, body, headers=(('Content-Type', 'application/octet-stream'),), status=200):
        self.servers.route(path, Response(status, list(headers), body))

    def serve_document(self, members, path='/qmx.json', headers=JSON_UTF8, encoding='utf-8'):
        text = json.dumps(members, ensure_ascii=False) if isinstance(members, dict) else members
        self.serve(path, text.encode(encoding), headers)

    def probe(self, *extra, url=None):
        return publish('probe', url or self.url('/qmx.json'), '--cacert', CERTS / 'ca.pem',
                       '--signer', SIGNER, '--ca', CODESIGN_CA, *extra)

    def assertStep(self, result, step, fragment, mark='FAIL'):
        lines = steps(result.stdout)
        self.assertTrue(any(m == mark and s == step and fragment in t for m, s, t in lines),
                        f'no "{mark} {step} ...{fragment}..." in:\n{result.stdout}{result.stderr}')


class ProbeScenarios(Servers):
    def test_a_good_publication_would_run(self):
        self.serve('/setup.exe', SIGNED)
        made = publish('make', SAMPLE, '--url', self.url('/setup.exe'), '--shortcut')
        self.assertEqual(made.returncode, 0, made.stderr)
        # make describes the unsigned sample; the signed file is what is served.
        members = json.loads(made.stdout)
        members.update(document(SIGNED, self.url('/setup.exe')))
        self.serve_document(members)
        result = self.probe()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        for step in ('fetch', 'charset', 'document', 'download', 'checksum', 'size', 'sha256', 'version'):
            self.assertStep(result, step, '', mark='ok')
        self.assertStep(result, 'signer', f'The installer is signed by "{SIGNER}"', mark='WARN')
        self.assertEqual(steps(result.stdout)[-1], ('ok', 'result', "a user's stub would run the installer"))
        self.assertIn('download', result.stderr)  # the progress line

    def test_each_mistake_names_what_a_user_would_get(self):
        wrapper = self.url('/setup.exe')
        good = document(SIGNED, wrapper)
        http_port = self.servers.ports['http']
        latin1 = json.dumps(document(SIGNED, wrapper, version='2.5-b\u00eata'), ensure_ascii=False)
        mistakes = [
            # (what, document, served installer, probe URL, step, fragment)
            ('wrong CRC', dict(good, checksum=good['checksum'] ^ 1), SIGNED, None,
             'checksum', 'error code 6: Mismatch of the wrapper checksum'),
            ('size below the installer', dict(good, size=len(SIGNED) - 1), SIGNED, None,
             'size', 'error code 4: the document\'s "size"'),
            ('wrong SHA-256', dict(good, sha256=hashlib.sha256(b'other').hexdigest()), SIGNED, None,
             'sha256', 'error code 6: Mismatch of the wrapper checksum'),
            ('wrong signer', document(OTHER_SIGNED, wrapper), OTHER_SIGNED, None,
             'signer', f'error code 6: The installer is signed by "Another Publisher", not by the expected "{SIGNER}"'),
            ('unsigned installer', document(SAMPLE.read_bytes(), wrapper), SAMPLE.read_bytes(), None,
             'signer', 'error code 6: The installer is not signed'),
            ('document not found', None, SIGNED, self.url('/missing.json'), 'status', 'HTTP 404'),
            ('document not found', None, SIGNED, self.url('/missing.json'), 'document', 'error code 3'),
            ('a proxy page', '<html><body>Access denied by the proxy</body></html>', SIGNED, None,
             'document', 'error code 3: Error parsing file. Error: '),
            ('a cut page', '<html><body>Access denied', SIGNED, None, 'document', 'error code 1'),
            ('a version that breaks the command line', dict(good, version='2.5" /D=C:\\x'), SIGNED, None,
             'version', 'error code 3: The installer\'s version'),
            ('sha256 not hexadecimal', dict(good, sha256='xyz'), SIGNED, None,
             'sha256', 'error code 3: Error parsing file. Error: "sha256" must be 64 hexadecimal digits'),
            ('an http wrapper', document(SIGNED, f'http://127.0.0.1:{http_port}/setup.exe'), SIGNED, None,
             'wrapper', 'not HTTPS'),
            ('a redirect to http', document(SIGNED, self.url('/moved.exe')), SIGNED, None,
             'download', 'error code 4: The installer\'s download was redirected from HTTPS to '
                         f'"http://127.0.0.1:{http_port}/setup.exe'),
            ('installer not found', document(SIGNED, self.url('/gone.exe')), SIGNED, None,
             'download', 'error code 4: Can\'t download wrapper: '),
            ('an untrusted server', good, SIGNED, self.url('/qmx.json', 'selfsigned'),
             'fetch', 'error code 1: Can\'t download config file: '),
        ]
        self.servers.route('/moved.exe', Response(302, [('Location', f'http://127.0.0.1:{http_port}/setup.exe')], b''))
        self.servers.route('/gone.exe', Response(404, [('Content-Type', 'text/html')], b'<html>gone</html>'))
        for what, members, installer, url, step, fragment in mistakes:
            with self.subTest(what, step=step):
                self.serve('/setup.exe', installer)
                if members is not None:
                    self.serve_document(members)
                result = self.probe(url=url)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertStep(result, step, fragment)
                self.assertEqual(steps(result.stdout)[-1][:2], ('FAIL', 'result'))

    def test_the_charset_rule(self):
        wrapper = self.url('/setup.exe')
        self.serve('/setup.exe', SIGNED)
        members = document(SIGNED, wrapper, version='2.5-b\u00eata')
        text = json.dumps(members, ensure_ascii=False)
        cases = [
            # (Content-Type, encoding, mark, fragment)
            ('application/json; charset=iso-8859-1', 'latin-1', 'FAIL', 'read here as Windows-1252'),
            ('application/json; charset=utf-8', 'latin-1', 'FAIL', 'becomes U+FFFD'),
            ('application/json', 'latin-1', 'FAIL', 'no charset and bytes above 0x7F'),
            ('application/json; charset=UTF-8', 'utf-8', 'ok', 'decoded as UTF-8'),
        ]
        for content_type, encoding, mark, fragment in cases:
            with self.subTest(content_type, encoding=encoding):
                self.serve_document(text, headers=[('Content-Type', content_type)], encoding=encoding)
                result = self.probe()
                self.assertStep(result, 'charset', fragment, mark=mark)
                self.assertEqual(result.returncode, 0 if mark == 'ok' else 1, result.stdout)
                if encoding == 'latin-1' and 'iso' in content_type:
                    # What a Western user's stub passes to the installer.
                    self.assertStep(result, 'version', '"2.5-b\u00eata"', mark='ok')
        # An ASCII document reads alike in every code page: only a warning.
        self.serve_document(json.dumps(members), headers=[('Content-Type', 'application/json')])
        result = self.probe()
        self.assertStep(result, 'charset', 'the body is ASCII', mark='WARN')
        self.assertEqual(result.returncode, 0, result.stdout)

    def test_what_is_allowed_with_care(self):
        http_port = self.servers.ports['http']
        self.serve('/setup.exe', SIGNED)
        # An http wrapper, accepted on demand; an https redirect is followed.
        self.serve_document(document(SIGNED, f'http://127.0.0.1:{http_port}/setup.exe'))
        result = self.probe('--allow-http')
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertStep(result, 'wrapper', 'not HTTPS', mark='WARN')
        self.servers.route('/elsewhere.exe', Response(301, [('Location', self.url('/setup.exe'))], b''))
        self.serve_document(document(SIGNED, self.url('/elsewhere.exe')))
        result = self.probe()
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertStep(result, 'download', 'redirected to ' + self.url('/setup.exe'), mark='ok')
        # Without --signer the signature is not checked, and the step says so.
        result = publish('probe', self.url('/qmx.json'), '--cacert', CERTS / 'ca.pem')
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertStep(result, 'signer', 'no --signer given', mark='skip')


class MakeAndCheck(unittest.TestCase):
    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix='publish-test-'))
        self.installer = self.work / 'setup.exe'
        self.installer.write_bytes(SIGNED)

    def tearDown(self):
        for path in self.work.iterdir():
            path.unlink()
        self.work.rmdir()

    def make(self, *args):
        return publish('make', self.installer, *args)

    def test_make_writes_what_the_stub_and_check_read(self):
        result = self.make('--url', 'https://dl.tessaloom.example/setup.exe', '--shortcut',
                           '-o', self.work / 'qmx.json')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn('from the installer\'s version resource', result.stderr)
        members = json.loads((self.work / 'qmx.json').read_text())
        self.assertEqual(members, document(SIGNED, 'https://dl.tessaloom.example/setup.exe', shortcut=True))
        checked = publish('check', self.work / 'qmx.json', self.installer, '--signer', SIGNER, '--ca', CODESIGN_CA)
        self.assertEqual(checked.returncode, 0, checked.stdout)
        # A version beyond ASCII is escaped, so any charset reads the document alike.
        result = self.make('--url', 'https://dl.tessaloom.example/setup.exe', '--version', 'v2 b\u00eata \u2603')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.isascii())
        self.assertEqual(json.loads(result.stdout)['version'], 'v2 b\u00eata \u2603')

    def test_make_refuses_what_the_stub_would(self):
        url = 'https://dl.tessaloom.example/setup.exe'
        refusals = [
            (('--url', 'http://dl.tessaloom.example/setup.exe'), 1, 'it is not https'),
            (('--url', 'ftp://dl.tessaloom.example/setup.exe'), 1, 'its scheme is ftp'),
            (('--url', url + '#x'), 1, 'fragment'),
            (('--url', 'setup.exe'), 1, 'not an absolute address'),
            (('--url', url, '--version', '2.5"'), 1, 'it contains a double quote'),
            (('--url', url, '--version', '2.5\\'), 1, 'it ends with a backslash'),
            (('--url', url, '--version', '2.5\n'), 1, 'it contains a control character'),
            (('--version', '2.5'), 2, 'make needs --url'),
            (('--url', url, '--colour'), 2, 'unknown option --colour'),
        ]
        for args, status, fragment in refusals:
            with self.subTest(args=args):
                result = self.make(*args)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(fragment, result.stderr)
                self.assertEqual(result.stdout, '')
        self.assertIn('Error code 3', self.make('--url', url, '--version', '2.5"').stderr)
        allowed = self.make('--url', 'http://dl.tessaloom.example/setup.exe', '--allow-http')
        self.assertEqual(allowed.returncode, 0, allowed.stderr)

    def test_check_reads_as_the_stub_does(self):
        url = 'https://dl.tessaloom.example/setup.exe'
        good = document(SIGNED, url)
        cases = [
            # (document text, with the installer, status, step, fragment)
            (json.dumps(good), False, 0, 'result', 'the installer was not checked'),
            (json.dumps({k: v for k, v in good.items() if k != 'checksum'}), True, 1,
             'checksum', 'error code 3: Error parsing file. Error: '),
            (json.dumps(dict(good, checksum=[1])), True, 1, 'checksum', 'error code 3'),
            (json.dumps(dict(good, checksum=good['checksum'] - 2**32)), True, 0, 'checksum', 'is the CRC-32'),
            (json.dumps(dict(good, checksum=good['checksum'] + 2**32)), True, 0, 'checksum', 'low 32 bits'),
            ('{"shortcut": false, /* a comment */ ' + json.dumps(good)[1:], True, 0, 'document', 'parsed'),
            (json.dumps(good) + ' trailing', True, 1, 'document', 'error code 3'),
            ('\ufeff' + json.dumps(good), True, 1, 'document', 'error code 3'),
            (json.dumps(dict(good, version='b\u00eata'), ensure_ascii=False), True, 1, 'charset', 'U+FFFD'),
        ]
        for text, with_installer, status, step, fragment in cases:
            with self.subTest(text=text[:60], step=step):
                path = self.work / 'qmx.json'
                path.write_bytes(text.encode('utf-8') if 'U+FFFD' not in fragment else text.encode('latin-1'))
                args = [path] + ([self.installer] if with_installer else [])
                result = publish('check', *args, '--signer', SIGNER, '--ca', CODESIGN_CA)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(fragment, ''.join(t for _, s, t in steps(result.stdout) if s == step), result.stdout)

    def test_the_signer_can_come_from_the_signed_stub(self):
        document_path = self.work / 'qmx.json'
        document_path.write_text(json.dumps(document(SIGNED, 'https://dl.tessaloom.example/setup.exe')))
        stub = self.work / 'stub.exe'
        for signed_by, status, fragment in (('signer', 0, f'The installer is signed by "{SIGNER}"'),
                                            ('other_signer', 1, 'not by the expected "Another Publisher"'),
                                            ('second_ca_signer', 1, 'does not chain to the certificate authority '
                                                                    'this stub trusts for its publisher')):
            with self.subTest(signed_by):
                stub.write_bytes(sign(SAMPLE.read_bytes(), signed_by))
                result = publish('check', document_path, self.installer, '--stub', stub, '--ca', CODESIGN_CA)
                self.assertEqual(result.returncode, status, result.stdout)
                self.assertIn(fragment, result.stdout)
        stub.write_bytes(SAMPLE.read_bytes())
        result = publish('check', document_path, self.installer, '--stub', stub)
        self.assertEqual(result.returncode, 2)
        self.assertIn('names no signer', result.stderr)
        result = publish('check', document_path, self.installer, '--stub', stub, '--signer', SIGNER)
        self.assertEqual(result.returncode, 2)


class TimeStamps(unittest.TestCase):
    """A signature outlives its certificate only where it was time-stamped."""
    PAST = '1593561600'  # 1 July 2020, while the past signer's certificate was valid

    def sign(self, *options):
        with tempfile.TemporaryDirectory(prefix='publish-ts-') as work:
            signed = Path(work) / 'signed.exe'
            subprocess.run(['osslsigncode', 'sign', *options, '-h', 'sha256', '-in', str(SAMPLE),
                            '-out', str(signed)], check=True, capture_output=True, timeout=120)
            return signed.read_bytes()

    def check(self, installer, ca):
        with tempfile.TemporaryDirectory(prefix='publish-ts-') as work:
            path, doc = Path(work) / 'setup.exe', Path(work) / 'qmx.json'
            path.write_bytes(installer)
            doc.write_text(json.dumps(document(installer, 'https://dl.tessaloom.example/setup.exe')))
            return publish('check', doc, path, '--signer', SIGNER, '--ca', ca, '--tsa-ca', CERTS / 'tsa_ca.pem')

    def test_an_expired_certificate_is_accepted_only_with_a_time_stamp_of_its_time(self):
        chain = CERTS / 'tsa-chain.pem'
        chain.write_bytes((CERTS / 'tsa.pem').read_bytes() + (CERTS / 'tsa_ca.pem').read_bytes())
        past = ['-certs', str(CERTS / 'past_signer.pem'), '-key', str(CERTS / 'past_signer.key'), '-time', self.PAST]
        # osslsigncode's own authority stamps the signature with a time in 2020.
        stamped = self.sign(*past, '-TSA-certs', str(chain), '-TSA-key', str(CERTS / 'tsa.key'),
                            '-TSA-time', self.PAST)
        result = self.check(stamped, CERTS / 'past_ca.pem')
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn(('ok', 'signer', f'The installer is signed by "{SIGNER}"'), steps(result.stdout))
        result = self.check(self.sign(*past), CERTS / 'past_ca.pem')
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(f'error code 6: The installer\'s certificate by "{SIGNER}" is not valid', result.stdout)

    def test_a_signature_stamped_by_the_local_authority_draws_no_warning(self):
        with TimeStampingServer(str(CERTS)) as tsa:
            stamped = self.sign('-certs', str(CERTS / 'signer.pem'), '-key', str(CERTS / 'signer.key'),
                                '-ts', tsa.url)
            self.assertEqual(tsa.replies, 1)
        result = self.check(stamped, CODESIGN_CA)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn(('ok', 'signer', f'The installer is signed by "{SIGNER}"'), steps(result.stdout))


if __name__ == '__main__':
    unittest.main()
