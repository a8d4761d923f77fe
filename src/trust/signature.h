// The Authenticode signature of a file and the decision whether it may run
// with administrator rights: signed, intact, chained to a trusted root, by a
// certificate meant for code signing, not revoked, and by the expected signer.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

// What the system found out about a file's signature.
struct SignatureFacts {
  int32_t trustStatus = 0;         // WinVerifyTrust's result (an HRESULT)
  bool hasSigner = false;          // the signer's certificate was read
  uint32_t chainErrors = 0;        // the signer's chain: TrustStatus.dwErrorStatus
  bool codeSigningUsage = true;    // the signer's certificate allows code signing
  std::wstring signerName;         // its subject's simple display name, embedded NULs and all
  bool rootInMachineStore = true;  // the chain's root is one the machine trusts, not only the user
  // The SHA-256 of each chain certificate's public key (SubjectPublicKeyInfo), signer first.
  std::vector<std::array<uint8_t, 32>> chainKeys;
};

enum class SignatureVerdict {
  kTrusted,
  kTrustedRevocationOffline,  // trusted, but the revocation servers could not be reached
  kMissing,
  kBroken,         // the file does not match its signature, or the signature can't be read
  kUntrustedRoot,  // the chain does not reach a trusted root
  kWrongUsage,     // the certificate is not meant for code signing
  kRevoked,
  kInvalidCertificate,  // any other fault of the chain (out of its validity period, say)
  kUserRootOnly,        // the chain ends in a root that only the current user trusts
  kOtherSigner,
};

// Decides on the facts. With no expected name, any trusted signer is accepted.
// Only the revocation bits "status unknown" and "offline" may be set in the
// chain: Wine's WinVerifyTrust returns 0 for a chain that reaches no trusted
// root, so the chain's own status is what counts, on every system.
SignatureVerdict DecideSignature(const SignatureFacts& facts, const std::optional<std::wstring>& expectedSigner);

// True when a pinned CA key (the SHA-256 of its SubjectPublicKeyInfo) is the
// key of a certificate of the chain; an empty pin asks for nothing.
bool ChainHasPinnedKey(const SignatureFacts& facts, const std::vector<uint8_t>& pin);

// True for the verdicts that let the file run.
bool AcceptsSignature(SignatureVerdict verdict);

// Asks the system about the signature of the open file (WinVerifyTrust with
// the file's handle, no user interface, revocation checked along the chain
// except the root). Fails only where the check itself could not be made.
Result<SignatureFacts> ReadSignatureFacts(HANDLE file, const std::wstring& path);
