// Whose installer runs: the signer it must carry, the certificate authorities
// one of which its chain must hold, the check of its Authenticode signature
// against them, and the warning where nothing stronger than a CRC-32 stands
// behind it. Failures carry the system's error; the run's step gives the code.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "trust/signature.h"

// What the build decided about trust.
struct BuildTrustSettings {
  std::wstring configuredSigner;       // STUB_INSTALLER_SIGNER; empty when left empty
  std::vector<CaKey> configuredPins;   // STUB_PINNED_CA_KEY_SHA256, any number of keys
  std::wstring builtInSigner;          // the name of the certificate the build signed the stub with
  std::optional<CaKey> builtInIssuer;  // the key of the CA that issued that certificate
  bool release = false;                // STUB_RELEASE: the document's "sha256" is required
};

// This build's settings.
BuildTrustSettings ThisBuildsTrustSettings();

// What vouches for the installer: the signer it must carry (none: no check
// of its signature) and the keys one of which its chain must hold (none: any
// CA the machine trusts).
struct InstallerRequirement {
  std::optional<std::wstring> signer;
  std::vector<CaKey> pins;

  // A pin without a name still asks for a signature under that CA.
  bool checksSignature() const { return signer.has_value() || !pins.empty(); }
};

// True when the settings leave the signer or the pin to the running stub's
// own signature: a stub signed after its build.
bool NeedsOwnSignature(const BuildTrustSettings& settings);

// The requirement from the settings, and where they leave something open,
// from the facts of the stub's own signature (its signer and the CA that
// issued it). An unsigned stub leaves that part open. Fails where the own
// file is signed but its signer can't be read: by whom the installer must
// be signed is then not known.
Result<InstallerRequirement> DecideRequirement(const BuildTrustSettings& settings,
                                               const std::optional<SignatureFacts>& own);

// The requirement of this build and this stub's own file, read only from the
// file the process runs from. Fails (with its ERROR record) where that file
// can't be shown to be the running one or its signature can't be read.
Result<InstallerRequirement> RequiredInstallerTrust();

// Checks the held installer's signature against the requirement; writes the
// record of the verdict (ERROR where the installer must not run).
Status VerifyInstallerSignature(HANDLE file, const std::wstring& path, const InstallerRequirement& requirement);

// Certificate-authority keys written as hexadecimal digits, 64 to a key, one
// after the other; a partial key at the end is left out.
std::vector<CaKey> ParseCaKeys(const std::wstring& hex);

// The WARNING of a run where nothing but the CRC-32 vouches for the installer, which also says when the download itself
// was not protected by HTTPS.
std::string Crc32AloneWarning(const std::wstring& wrapperUrl);

// The record of a verdict, with the system's error number and the signer's
// name where there is one.
std::string DescribeSignature(SignatureVerdict verdict, const SignatureFacts& facts,
                              const std::wstring& expectedSigner);
