#include "files/signature.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const wchar_t kSigner[] = L"Tessaloom Test Signer";

SignatureFacts Signed(uint32_t chainErrors = 0, const wchar_t* name = kSigner) {
  SignatureFacts facts;
  facts.hasSigner = true;
  facts.chainErrors = chainErrors;
  facts.signerName = name;
  return facts;
}

SignatureFacts Failed(HRESULT status, bool hasSigner = false) {
  SignatureFacts facts = Signed();
  facts.trustStatus = static_cast<int32_t>(status);
  facts.hasSigner = hasSigner;
  return facts;
}

}  // namespace

TEST(DecideSignature, AcceptsOnlyAnIntactTrustedCodeSigningSignatureByTheExpectedSigner) {
  EXPECT_EQ(DecideSignature(Signed(), kSigner), SignatureVerdict::kTrusted);
  EXPECT_EQ(DecideSignature(Signed(0, L"Another Publisher"), L""), SignatureVerdict::kTrusted);
  // The name must match exactly.
  EXPECT_EQ(DecideSignature(Signed(0, L"Another Publisher"), kSigner), SignatureVerdict::kOtherSigner);
  EXPECT_EQ(DecideSignature(Signed(0, L"tessaloom test signer"), kSigner), SignatureVerdict::kOtherSigner);
  EXPECT_EQ(DecideSignature(Signed(0, L""), kSigner), SignatureVerdict::kOtherSigner);

  EXPECT_EQ(DecideSignature(Failed(TRUST_E_NOSIGNATURE), kSigner), SignatureVerdict::kMissing);
  EXPECT_EQ(DecideSignature(Failed(TRUST_E_SUBJECT_FORM_UNKNOWN), kSigner), SignatureVerdict::kMissing);
  EXPECT_EQ(DecideSignature(Failed(TRUST_E_BAD_DIGEST, true), kSigner), SignatureVerdict::kBroken);
  EXPECT_EQ(DecideSignature(Failed(E_FAIL), kSigner), SignatureVerdict::kBroken);
  EXPECT_EQ(DecideSignature(Failed(CERT_E_UNTRUSTEDROOT, true), kSigner), SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Failed(CERT_E_CHAINING, true), kSigner), SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Failed(CERT_E_WRONG_USAGE, true), kSigner), SignatureVerdict::kWrongUsage);
  EXPECT_EQ(DecideSignature(Failed(CERT_E_REVOKED, true), kSigner), SignatureVerdict::kRevoked);
  EXPECT_EQ(DecideSignature(Failed(CERT_E_EXPIRED, true), kSigner), SignatureVerdict::kInvalidCertificate);
  // Success without a signer's certificate proves nothing.
  EXPECT_EQ(DecideSignature(Failed(S_OK, false), kSigner), SignatureVerdict::kBroken);
}

TEST(DecideSignature, LooksAtTheChainItselfWhereTheSystemSaysYes) {
  // What Wine 8 answers with 0 for a chain that reaches no trusted root.
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_PARTIAL_CHAIN), kSigner), SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_UNTRUSTED_ROOT), kSigner), SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_EXPLICIT_DISTRUST), kSigner), SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_NOT_VALID_FOR_USAGE), kSigner), SignatureVerdict::kWrongUsage);
  SignatureFacts serverOnly = Signed();
  serverOnly.codeSigningUsage = false;
  EXPECT_EQ(DecideSignature(serverOnly, kSigner), SignatureVerdict::kWrongUsage);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_NOT_TIME_VALID), kSigner), SignatureVerdict::kInvalidCertificate);
  // A signature time-stamped while its certificate was valid: Windows builds
  // the chain at the time stamp's time, so an expired certificate shows no
  // fault and the installer runs. Wine 8 builds it at the current time and
  // reports CERT_TRUST_IS_NOT_TIME_VALID (above), so only this shows it.
  SignatureFacts timeStamped = Signed();
  timeStamped.trustStatus = S_OK;
  EXPECT_EQ(DecideSignature(timeStamped, kSigner), SignatureVerdict::kTrusted);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_NOT_SIGNATURE_VALID), kSigner),
            SignatureVerdict::kInvalidCertificate);
  // A fault of the chain wins over a matching name, and revocation over all.
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_PARTIAL_CHAIN, L"Other"), kSigner),
            SignatureVerdict::kUntrustedRoot);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_PARTIAL_CHAIN), kSigner),
            SignatureVerdict::kRevoked);
}

TEST(DecideSignature, RevocationThatCannotBeCheckedWarnsAndRevokedAlwaysFails) {
  // No revocation server named: nothing to ask.
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_REVOCATION_STATUS_UNKNOWN), kSigner), SignatureVerdict::kTrusted);
  const uint32_t offline = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  EXPECT_EQ(DecideSignature(Signed(offline), kSigner), SignatureVerdict::kTrustedRevocationOffline);
  SignatureFacts failure = Signed(offline);
  failure.trustStatus = static_cast<int32_t>(CERT_E_REVOCATION_FAILURE);
  EXPECT_EQ(DecideSignature(failure, kSigner), SignatureVerdict::kTrustedRevocationOffline);
  failure.trustStatus = static_cast<int32_t>(CRYPT_E_REVOCATION_OFFLINE);
  failure.chainErrors = CERT_TRUST_REVOCATION_STATUS_UNKNOWN;
  EXPECT_EQ(DecideSignature(failure, kSigner), SignatureVerdict::kTrustedRevocationOffline);
  // Offline does not excuse another signer or another fault.
  failure.signerName = L"Another Publisher";
  EXPECT_EQ(DecideSignature(failure, kSigner), SignatureVerdict::kOtherSigner);
  EXPECT_EQ(DecideSignature(Signed(offline | CERT_TRUST_IS_UNTRUSTED_ROOT), kSigner),
            SignatureVerdict::kUntrustedRoot);
  // A revocation failure the chain does not explain is taken as a failure.
  failure = Signed();
  failure.trustStatus = static_cast<int32_t>(CERT_E_REVOCATION_FAILURE);
  EXPECT_EQ(DecideSignature(failure, kSigner), SignatureVerdict::kInvalidCertificate);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_REVOKED | offline), kSigner), SignatureVerdict::kRevoked);
  EXPECT_TRUE(AcceptsSignature(SignatureVerdict::kTrustedRevocationOffline));
  EXPECT_FALSE(AcceptsSignature(SignatureVerdict::kOtherSigner));
}
