#!/usr/bin/env python3
"""Writes the source that compiles the stub's own signer into it: the name of
the signing certificate's subject as Windows shows it (its simple display
name: the first common name, else organisational unit, else organisation,
else e-mail address), read with openssl from the PKCS#12 file or the PEM
certificate the build signs with. Without a certificate the name is empty.
Fails, and leaves no header, when the certificate can't be read or names
nobody."""
import argparse
import os
import re
import subprocess
import sys

ORDER = ('CN', 'OU', 'O', 'emailAddress')


def leaf_certificate(args):
    if args.certificate:
        with open(args.certificate, 'rb') as pem:
            return pem.read()
    result = subprocess.run([args.openssl, 'pkcs12', '-in', args.pkcs12, '-nokeys', '-clcerts',
                             '-passin', f'file:{args.password_file}'], capture_output=True, timeout=60)
    if result.returncode != 0:
        sys.exit(f'signer name: openssl could not read {args.pkcs12}:\n{result.stderr.decode(errors="replace")}')
    return result.stdout


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
    args = parser.parse_args()
    name = subject_name(args.openssl, leaf_certificate(args)) if (args.pkcs12 or args.certificate) else ''
    header = ('// Generated at build time from the signing certificate; do not edit.\n'
              '#include "main/installer_trust.h"\n\n'
              f'// The name the stub is signed under: "{name.encode("unicode_escape").decode()}".\n'
              f'std::wstring BuiltInOwnSigner() {{ return {wide_literal(name)}; }}\n')
    partial = args.out + '.part'
    with open(partial, 'w', encoding='utf-8') as out:
        out.write(header)
    os.replace(partial, args.out)


if __name__ == '__main__':
    main()
