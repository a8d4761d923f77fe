"""The release signature: the stub signed by the build with a key on a token
(SoftHSM2's software token, reached through PKCS#11 as a hardware token is)
and time-stamped by a local RFC 3161 authority; the configuration's warning
and STUB_RELEASE's refusals of a signature without a time stamp and of a
build that would require no signer of the installer. It builds a
stub of its own (in build/tests/release-signing) and uses none of the stub's
fixed names or ports, so it runs beside other tests."""
import json
import os
import secrets
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

from stubtest import BUILD, CERTS, SOURCE, helper, windows_path

sys.path.insert(0, str(SOURCE / 'tests' / 'fixtures'))
from time_stamping import TimeStampingServer  # noqa: E402

SIGNER = 'Tessaloom Test Signer'
SOFTHSM_MODULE = '/usr/lib/softhsm/libsofthsm2.so'
TOKEN_KEY = 'pkcs11:token=tessaloom-test;object=signer;type=private'
TSA_PORT = 18548
WORK = BUILD / 'release-signing'
STUB_BUILD = WORK / 'build'
SIGNED_STUB = STUB_BUILD / 'bin' / 'tessaloom_setup.exe'


def make_token(folder, pin):
    """A new SoftHSM2 token "tessaloom-test" in folder holding the test signer's key."""
    shutil.rmtree(folder, ignore_errors=True)
    (folder / 'tokens').mkdir(parents=True)
    conf = folder / 'softhsm2.conf'
    conf.write_text(f'directories.tokendir = {folder / "tokens"}\nobjectstore.backend = file\nlog.level = ERROR\n')
    env = dict(os.environ, SOFTHSM2_CONF=str(conf))
    key = folder / 'signer.p8'
    steps = [
        ['softhsm2-util', '--init-token', '--free', '--label', 'tessaloom-test', '--pin', pin,
         '--so-pin', secrets.token_hex(8)],
        ['openssl', 'pkcs8', '-topk8', '-nocrypt', '-in', str(CERTS / 'signer.key'), '-out', str(key)],
        ['softhsm2-util', '--import', str(key), '--token', 'tessaloom-test', '--label', 'signer', '--id', '01',
         '--pin', pin],
    ]
    for step in steps:
        subprocess.run(step, check=True, capture_output=True, env=env, timeout=60)
    key.unlink()  # from now on the key is on the token only
    return env


def configure(folder, env, *settings, timeout=300):
    return subprocess.run(['cmake', '-S', str(SOURCE), '-B', str(folder),
                           f'-DCMAKE_TOOLCHAIN_FILE={SOURCE / "cmake" / "mingw-w64-x86_64.cmake"}',
                           '-DCMAKE_BUILD_TYPE=Release', '-DSTUB_LTO=OFF', *settings],
                          capture_output=True, text=True, env=env, timeout=timeout)


def token_settings(pin_file, roots, timestamp_url):
    return [f'-DSTUB_SIGNING_PKCS11_MODULE={SOFTHSM_MODULE}', f'-DSTUB_SIGNING_PKCS11_KEY={TOKEN_KEY}',
            f'-DSTUB_SIGNING_CERTIFICATE={CERTS / "signer.pem"}', f'-DSTUB_SIGNING_PIN_FILE={pin_file}',
            f'-DSTUB_SIGNING_CA_FILE={roots}', f'-DSTUB_TIMESTAMP_URL={timestamp_url}']


class TokenSignedStubTest(unittest.TestCase):
    """One build of the stub, signed through the token and time-stamped."""

    @classmethod
    def setUpClass(cls):
        WORK.mkdir(parents=True, exist_ok=True)
        cls.pin = secrets.token_hex(6)
        cls.pin_file = WORK / 'token.pin'
        cls.pin_file.write_text(cls.pin)
        cls.env = make_token(WORK / 'token', cls.pin)
        # The roots that the build verifies the new signature and its time stamp against.
        cls.roots = WORK / 'roots.pem'
        tsa = TimeStampingServer(str(CERTS), TSA_PORT)
        cls.roots.write_bytes((CERTS / 'codesign_ca.pem').read_bytes() + (CERTS / 'tsa_ca.pem').read_bytes())
        with tsa:
            cls.configured = configure(STUB_BUILD, cls.env, '-DSTUB_RELEASE=ON',
                                       *token_settings(cls.pin_file, cls.roots, tsa.url))
            if cls.configured.returncode != 0:
                raise AssertionError(cls.configured.stdout + cls.configured.stderr)
            SIGNED_STUB.unlink(missing_ok=True)  # linked, and so signed, at every run
            cls.built = subprocess.run(['cmake', '--build', str(STUB_BUILD), '--target', 'tessaloom_setup', '-j2'],
                                       capture_output=True, text=True, env=cls.env, timeout=1200)
            cls.time_stamps = tsa.replies
        if cls.built.returncode != 0:
            raise AssertionError(cls.built.stdout[-4000:] + cls.built.stderr[-4000:])

    def test_windows_accepts_the_stub_signed_through_the_token(self):
        status, out = helper('verify-signature', windows_path(SIGNED_STUB))
        self.assertEqual(status, 0, out)
        self.assertEqual(json.loads(out), {'status': 0, 'chain': 0, 'signer': SIGNER})

    def test_the_signature_carries_the_local_authoritys_time_stamp(self):
        self.assertEqual(self.time_stamps, 1)
        verified = subprocess.run(['osslsigncode', 'verify', '-CAfile', str(self.roots), '-TSA-CAfile',
                                   str(self.roots), '-in', str(SIGNED_STUB)], capture_output=True, text=True,
                                  timeout=120)
        self.assertEqual(verified.returncode, 0, verified.stdout)
        self.assertIn('Timestamp Server Signature verification: ok', verified.stdout)
        self.assertIn('CN=Tessaloom Test Time Stamping Authority', verified.stdout)

    def test_a_release_requires_the_documents_sha256(self):
        self.assertIn('#define STUB_RELEASE_BUILD 1', (STUB_BUILD / 'generated' / 'build_settings.h').read_text())

    def test_the_pin_stays_in_its_file(self):
        cache = (STUB_BUILD / 'CMakeCache.txt').read_text()
        self.assertIn(str(self.pin_file), cache)
        for text in (cache, self.configured.stdout, self.configured.stderr, self.built.stdout, self.built.stderr):
            self.assertNotIn(self.pin, text)

    def test_a_wrong_pin_fails_the_signing_and_leaves_no_unsigned_file(self):
        copy = WORK / 'unsigned-copy.exe'
        copy.unlink(missing_ok=True)
        subprocess.run(['osslsigncode', 'remove-signature', '-in', str(SIGNED_STUB), '-out', str(copy)],
                       check=True, capture_output=True, timeout=120)
        wrong = WORK / 'wrong.pin'
        wrong.write_text('0' + self.pin)
        key_file = WORK / 'key-uri'
        key_file.write_text(TOKEN_KEY)
        signed = subprocess.run(['cmake', '-DOSSLSIGNCODE=osslsigncode', f'-DFILE={copy}',
                                 f'-DPKCS11_MODULE={SOFTHSM_MODULE}', f'-DPKCS11_KEY_FILE={key_file}',
                                 f'-DCERTS={CERTS / "signer.pem"}', f'-DPIN_FILE={wrong}', '-DVERIFY=1',
                                 '-P', str(SOURCE / 'cmake' / 'sign_file.cmake')],
                                capture_output=True, text=True, env=self.env, timeout=300)
        self.assertNotEqual(signed.returncode, 0)
        self.assertIn('signing', signed.stderr)
        self.assertFalse(copy.exists())


class ReleaseSettingTest(unittest.TestCase):
    def test_a_release_refuses_a_signature_without_a_time_stamp_and_a_build_without_a_signer(self):
        folder = WORK / 'configure-only'
        shutil.rmtree(folder, ignore_errors=True)
        settings = [f'-DSTUB_SIGNING_PKCS12={CERTS / "signer.p12"}',
                    f'-DSTUB_SIGNING_PASSWORD_FILE={CERTS / "signer.pass"}']
        warned = configure(folder, None, *settings)
        self.assertEqual(warned.returncode, 0, warned.stderr)
        self.assertIn('signed without a time stamp (STUB_TIMESTAMP_URL is empty)', ' '.join(warned.stderr.split()))
        refused = configure(folder, None, *settings, '-DSTUB_RELEASE=ON')
        self.assertNotEqual(refused.returncode, 0)
        self.assertIn('signing (STUB_RELEASE)', refused.stderr)
        # A release that would require no signer is refused, saying what to set.
        shutil.rmtree(folder, ignore_errors=True)
        unsigned_release = configure(folder, None, '-DSTUB_RELEASE=ON')
        self.assertNotEqual(unsigned_release.returncode, 0)
        refusal = ' '.join(unsigned_release.stderr.split())
        self.assertIn('STUB_RELEASE: this build would require no signer of the installer', refusal)
        for setting in ('STUB_SIGNING_PKCS12', 'STUB_SIGNING_PKCS11_MODULE', 'STUB_INSTALLER_SIGNER'):
            self.assertIn(setting, refusal)
        # An unsigned build has nothing to time-stamp, and no warning.
        shutil.rmtree(folder, ignore_errors=True)
        unsigned = configure(folder, None)
        self.assertEqual(unsigned.returncode, 0, unsigned.stderr)
        self.assertNotIn('time stamp', unsigned.stderr)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    unittest.main()
