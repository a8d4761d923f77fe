#!/usr/bin/env python3
"""Writes the source that compiles the stub's own signer into it: the name of
the signing certificate's subject as Windows shows it (its simple display
name: the first common name, else organisational unit, else organisation,
else e-mail address), and the SHA-256 of the public key (SubjectPublicKeyInfo)
of the certificate authority that issued it, read with openssl from the
PKCS#12 file or the PEM certificate chain the build signs with. Without a
certificate both are empty. Fails, and leaves no source, when the certificate
can't be read, names nobody, or its issuer's certificate is not in the file
(unless --issuer-optional: the build was given its pin)."""
import argparse
import hashlib
import os
import re
import subprocess
import sys

ORDER = ('CN', 'OU', 'O', 'emailAddress')


PEM_BLOCK = re.compile(rb'-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----', re.S)


def pkcs12_certificates(args, which):
    result = subprocess.run([args.openssl, 'pkcs12', '-in', args.pkcs12, '-nokeys', which,
                             '-passin', f'file:{args.password_file}'], capture_output=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f'signer name: openssl could not read {args.pkcs12}:\n{result.stderr.decode(errors="replace")}')
    return PEM_BLOCK.findall(result.stdout)


def signing_chain(args):
    """The signing certificate and the others the file holds (PEM blocks)."""
    if args.certificate:
        with open(args.certificate, 'rb') as pem:
            blocks = PEM_BLOCK.findall(pem.read())
        if not blocks:
            sys.exit(f'signer name: {args.certificate} holds no PEM certificate')
        return blocks[0], blocks[1:]
    leaves = pkcs12_certificates(args, '-clcerts')
    if not leaves:
        sys.exit(f'signer name: {args.pkcs12} holds no certificate of its key')
    return leaves[0], pkcs12_certificates(args, '-cacerts')


def openssl_x509(openssl, pem, *options):
    result = subprocess.run([openssl, 'x509', '-noout', *options], input=pem, capture_output=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f'signer name: openssl could not read a certificate:\n{result.stderr.decode(errors="replace")}')
    return result.stdout


def distinguished_name(openssl, pem, which):
    return openssl_x509(openssl, pem, which, '-nameopt', 'RFC2253').decode('utf-8').strip().partition('=')[2]


def issuer_key_digest(openssl, leaf, others):
    """The SHA-256 of the issuing CA's SubjectPublicKeyInfo (of the signer's
    own key where it issued itself); None when the file does not hold it."""
    issuer = distinguished_name(openssl, leaf, '-issuer')
    candidates = [leaf] if distinguished_name(openssl, leaf, '-subject') == issuer else []
    candidates += [pem for pem in others if distinguished_name(openssl, pem, '-subject') == issuer]
    if not candidates:
        return None
    public_key = openssl_x509(openssl, candidates[0], '-pubkey')
    der = subprocess.run([openssl, 'pkey', '-pubin', '-outform', 'DER'], input=public_key, capture_output=True,
                         timeout=60)
    if der.returncode != 0 or not der.stdout:
        sys.exit(f'signer name: openssl could not read the issuer\'s key:\n{der.stderr.decode(errors="replace")}')
    return hashlib.sha256(der.stdout).hexdigest()


def unescape(value):
    """Undoes openssl's RFC 2253 and control-character escapes."""
    out = bytearray()
    i = 0
    raw = value.encode('utf-8')
    while i < len(raw):
        if raw[i] == 0x5C and re.fullmatch(rb'[0-9A-Fa-f]{2}', raw[i + 1:i + 3]):
            out.append(int(raw[i + 1:i + 3], 16))
            i += 3
        elif raw[i] == 0x5C and i + 1 < len(raw):
            out.append(raw[i + 1])
            i += 2
        else:
            out.append(raw[i])
            i += 1
    return out.decode('utf-8')


def subject_name(openssl, pem):
    result = subprocess.run([openssl, 'x509', '-noout', '-subject', '-nameopt', 'sep_multiline,utf8,sname,esc_2253,esc_ctrl'],
                            input=pem, capture_output=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f'signer name: openssl could not read the certificate:\n{result.stderr.decode(errors="replace")}')
    attributes = []
    for line in result.stdout.decode('utf-8').splitlines()[1:]:
        key, sep, value = line.strip().partition('=')
        if sep:
            attributes.append((key, unescape(value)))
    for wanted in ORDER:
        for key, value in attributes:
            if key == wanted and value:
                return value
    sys.exit('signer name: the signing certificate names no common name, unit, organisation or e-mail address')


def wide_literal(text):
    """A C++ wide string literal of any text: every UTF-16 unit escaped, each
    in a piece of its own so that no escape runs into the next character."""
    units = text.encode('utf-16-le')
    pieces = [f'L"\\x{units[i] | units[i + 1] << 8:04x}"' for i in range(0, len(units), 2)]
    return ' '.join(pieces) if pieces else 'L""'


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--out', required=True)
    parser.add_argument('--openssl', default='openssl')
    parser.add_argument('--pkcs12')
    parser.add_argument('--password-file')
    parser.add_argument('--certificate')
    parser.add_argument('--issuer-optional', action='store_true')
    args = parser.parse_args()
    name, key = '', ''
    if args.pkcs12 or args.certificate:
        leaf, others = signing_chain(args)
        name = subject_name(args.openssl, leaf)
        key = issuer_key_digest(args.openssl, leaf, others)
        if key is None and not args.issuer_optional:
            sys.exit('signer name: the signing certificate\'s file does not hold the certificate of the authority '
                     'that issued it, whose key the stub pins for the installer: add that certificate to '
                     f'{args.certificate or args.pkcs12} after the signer\'s, or set STUB_PINNED_CA_KEY_SHA256 to '
                     'the SHA-256 of its public key')
    header = ('// Generated at build time from the signing certificate; do not edit.\n'
              '#include "trust/own_signer.h"\n\n'
              f'// The name the stub is signed under: "{name.encode("unicode_escape").decode()}".\n'
              f'std::wstring BuiltInOwnSigner() {{ return {wide_literal(name)}; }}\n\n'
              '// The key of the authority that issued its certificate.\n'
              f'std::wstring BuiltInOwnIssuerKey() {{ return L"{key or ""}"; }}\n')
    partial = args.out + '.part'
    with open(partial, 'w', encoding='utf-8') as out:
        out.write(header)
    os.replace(partial, args.out)


if __name__ == '__main__':
    main()
