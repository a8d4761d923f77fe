// The Authenticode signature of a file and the decision whether it may run
// with administrator rights: signed, intact, chained to a trusted root, by a
// certificate meant for code signing, not revoked, and by the expected signer.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"

// The SHA-256 of a certificate's public key (its SubjectPublicKeyInfo), as
// publishers pin a certificate authority.
using CaKey = std::array<uint8_t, 32>;

// What the system found out about a file's signature.
struct SignatureFacts {
  int32_t trustStatus = 0;         // WinVerifyTrust's result (an HRESULT)
  bool hasSigner = false;          // the signer's certificate was read
  uint32_t chainErrors = 0;        // the signer's chains: their TrustStatus.dwErrorStatus, all together
  uint32_t timeStampErrors = 0;    // the same of the time stamp's chains (none: 0)
  bool codeSigningUsage = true;    // the signer's certificate allows code signing
  std::wstring signerName;         // its subject's simple display name, embedded NULs and all
  bool rootInMachineStore = true;  // the chain's root is one the machine trusts, not only the user
  // The key of each certificate of the signer's chain, signer first.
  std::vector<CaKey> chainKeys;
  // The key of the CA that issued the signer's certificate: the chain's
  // second certificate, or the signer's own where the chain holds no other.
  std::optional<CaKey> issuerKey;
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
  kTimeStampInvalid,  // the time stamp's certificate is revoked or chains to no trusted root
};

// Decides on the facts. With no expected name, any trusted signer is accepted.
// Only the revocation bits "status unknown" and "offline" may be set in the
// chain: Wine's WinVerifyTrust returns 0 for a chain that reaches no trusted
// root, so the chain's own status is what counts, on every system. The
// signer's and the time stamp's chains are judged each on their own: a
// revoked signer is always refused, and a revocation server that can't be
// reached, for either, leaves a trusted signature that the run warns about.
SignatureVerdict DecideSignature(const SignatureFacts& facts, const std::optional<std::wstring>& expectedSigner);

// True when one of the pinned CA keys is the key of a certificate of the
// signer's chain; no pins ask for nothing.
bool ChainHasPinnedKey(const SignatureFacts& facts, const std::vector<CaKey>& pins);

// The faults of every chain the system built for a certificate: the
// context's summary and each simple chain's own.
uint32_t ChainErrors(const CERT_CHAIN_CONTEXT& context);

// The faults of the time stamp's chains: every counter-signer's.
uint32_t TimeStampErrors(const CRYPT_PROVIDER_SGNR& signer);

// True for the verdicts that let the file run.
bool AcceptsSignature(SignatureVerdict verdict);

// Asks the system about the signature of the open file (WinVerifyTrust with
// the file's handle, no user interface, revocation checked along the chain
// except the root). Fails only where the check itself could not be made.
Result<SignatureFacts> ReadSignatureFacts(HANDLE file, const std::wstring& path);
