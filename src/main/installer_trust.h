// Whose installer runs: the signer the installer must carry, the check of its
// Authenticode signature, and the warning where nothing stronger than a
// CRC-32 stands behind it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "trust/signature.h"

// The build's STUB_INSTALLER_SIGNER; empty when it was left empty.
std::wstring ConfiguredInstallerSigner();

// The name of the certificate the build signed the stub with; empty when the
// build did not sign it. Defined by the source the build writes for it.
std::wstring BuiltInOwnSigner();

// The signer the installer must carry: the build setting when there is one,
// else the name of the certificate the build signed the stub with, else the
// signer of the running stub's own file (a stub signed after the build),
// read only from the file the process runs from; none (no check) for an
// unsigned stub with no setting. A stub whose own file can't be shown to be
// the running one, or whose signature can't be read, ends the run (code 6):
// it may be signed, so its installer must be too, but by whom is not known.
Result<std::optional<std::wstring>> RequiredInstallerSigner();

// The build's STUB_PINNED_CA_KEY_SHA256 as bytes; empty when there is none.
std::vector<uint8_t> PinnedCaKey();

// Checks the held installer's signature against the signer; writes the
// record of the verdict (ERROR where it ends the run with code 6).
Status VerifyInstallerSignature(HANDLE file, const std::wstring& path, const std::wstring& signer);

// True when nothing but the CRC-32 vouches for the installer.
bool RestsOnCrc32Alone(bool signerRequired, bool hasSha256);

// The WARNING of such a run, which also says when the download itself was not
// protected by HTTPS.
std::string Crc32AloneWarning(const std::wstring& wrapperUrl);

// True when the address's scheme is "https" (in any letter case).
bool IsHttpsUrl(const std::wstring& url);

// The record of a verdict, with the system's error number and the signer's
// name where there is one.
std::string DescribeSignature(SignatureVerdict verdict, const SignatureFacts& facts,
                              const std::wstring& expectedSigner);
