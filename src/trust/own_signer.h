// What the build knows of the certificate it signed the stub with. Defined by
// the source the build writes from that certificate, or by no_own_signer.cpp
// in a build that does not sign the stub.
#pragma once

#include <string>

// The certificate's name as Windows shows it; empty when the build did not
// sign the stub.
std::wstring BuiltInOwnSigner();

// The SHA-256 of the public key (SubjectPublicKeyInfo) of the certificate
// authority that issued it, in hexadecimal; empty when the build did not sign
// the stub or was given a pin of its own.
std::wstring BuiltInOwnIssuerKey();
