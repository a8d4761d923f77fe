// The installer's Authenticode signature as the stub judges it: intact,
// chained to a trusted root, by a certificate meant for code signing, and by
// the signer the stub requires (its certificate's simple display name).
// osslsigncode checks the signature and the chain; OpenSSL reads the signer.
#pragma once

#include <optional>
#include <string>

struct SignerCheck {
  bool accepted = false;
  std::string record;  // in the words of the stub's record for that verdict
  std::string detail;  // what osslsigncode or OpenSSL said, where it helps
};

// The simple display name of the file's signer (a signed stub requires its
// own signer of the installer); none, with error saying why, when unsigned.
std::optional<std::wstring> ReadSignerName(const std::string& path, std::string& error);

// caFile holds the roots a user's machine trusts for code signing (empty: the
// system's); tsaCaFile the roots for the time stamp (empty: caFile).
SignerCheck CheckSigner(const std::string& path, const std::wstring& expectedSigner, const std::string& caFile,
                        const std::string& tsaCaFile);
