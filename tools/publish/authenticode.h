// The installer's Authenticode signature as the stub judges it: intact,
// chained to a trusted root, by a certificate meant for code signing, and by
// the signer the stub requires (its certificate's simple display name).
// osslsigncode checks the signature and the chain; OpenSSL reads the signer.
#pragma once

#include <optional>
#include <string>
#include <vector>

struct SignerCheck {
  bool accepted = false;
  std::string record;  // in the words of the stub's record for that verdict
  std::string detail;  // what osslsigncode or OpenSSL said, where it helps
};

// The simple display name of the file's signer (a signed stub requires its
// own signer of the installer); none, with error saying why, when unsigned.
std::optional<std::wstring> ReadSignerName(const std::string& path, std::string& error);

// The SHA-256 of the public key (SubjectPublicKeyInfo, lower-case
// hexadecimal) of the CA that issued the signer of the file's signature, as a
// signed stub pins it: found among the signature's certificates (the signer's
// own where it issued itself); none, with error saying why.
std::optional<std::string> ReadIssuerKey(const std::string& path, std::string& error);

// caKeys: one of them must be the key of a certificate of the signature (none:
// any CA). caFile holds the roots a user's machine trusts for code signing
// (empty: the system's); tsaCaFile the roots for the time stamp (empty:
// caFile).
SignerCheck CheckSigner(const std::string& path, const std::wstring& expectedSigner,
                        const std::vector<std::string>& caKeys, const std::string& caFile,
                        const std::string& tsaCaFile);
