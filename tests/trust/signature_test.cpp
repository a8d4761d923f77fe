#include "trust/signature.h"

#include <wincrypt.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "test_ca_key.h"

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
  EXPECT_EQ(DecideSignature(Signed(0, L"Another Publisher"), std::nullopt), SignatureVerdict::kTrusted);
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
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_NOT_SIGNATURE_VALID), kSigner), SignatureVerdict::kInvalidCertificate);
  // A fault of the chain wins over a matching name, and revocation over all.
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_PARTIAL_CHAIN, L"Other"), kSigner), SignatureVerdict::kUntrustedRoot);
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
  EXPECT_EQ(DecideSignature(Signed(offline | CERT_TRUST_IS_UNTRUSTED_ROOT), kSigner), SignatureVerdict::kUntrustedRoot);
  // A revocation failure the chain does not explain is taken as a failure.
  failure = Signed();
  failure.trustStatus = static_cast<int32_t>(CERT_E_REVOCATION_FAILURE);
  EXPECT_EQ(DecideSignature(failure, kSigner), SignatureVerdict::kInvalidCertificate);
  EXPECT_EQ(DecideSignature(Signed(CERT_TRUST_IS_REVOKED | offline), kSigner), SignatureVerdict::kRevoked);
  EXPECT_TRUE(AcceptsSignature(SignatureVerdict::kTrustedRevocationOffline));
  EXPECT_FALSE(AcceptsSignature(SignatureVerdict::kOtherSigner));
}

// What Windows reports for a signature whose signer's chain and time stamp's
// chain fare differently: WinVerifyTrust's answer and each chain's bits.
TEST(DecideSignature, JudgesTheSignersAndTheTimeStampsChainsEach) {
  constexpr uint32_t kOffline = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  constexpr HRESULT kRevocationFailure = CERT_E_REVOCATION_FAILURE;
  struct Case {
    const char* name;
    HRESULT status;
    uint32_t signer;
    uint32_t stamp;
    SignatureVerdict verdict;
  } cases[] = {
      {"time stamp's server unreachable", kRevocationFailure, 0, kOffline, SignatureVerdict::kTrustedRevocationOffline},
      {"time stamp names no server", S_OK, 0, CERT_TRUST_REVOCATION_STATUS_UNKNOWN, SignatureVerdict::kTrusted},
      {"revoked signer read as a revocation failure", kRevocationFailure, CERT_TRUST_IS_REVOKED | kOffline, kOffline,
       SignatureVerdict::kRevoked},
      {"revoked time stamp", S_OK, 0, CERT_TRUST_IS_REVOKED, SignatureVerdict::kTimeStampInvalid},
      {"time stamp's certificate past its validity", S_OK, 0, CERT_TRUST_IS_NOT_TIME_VALID, SignatureVerdict::kTrusted},
      {"signer's server unreachable, time stamp revoked", kRevocationFailure, kOffline, CERT_TRUST_IS_REVOKED,
       SignatureVerdict::kTimeStampInvalid},
  };
  for (const Case& c : cases) {
    SignatureFacts facts = Signed(c.signer);
    facts.trustStatus = static_cast<int32_t>(c.status);
    facts.timeStampErrors = c.stamp;
    EXPECT_EQ(DecideSignature(facts, kSigner), c.verdict) << c.name;
  }
}

TEST(ChainErrors, EveryChainCountsNotOnlyTheFirst) {
  CERT_SIMPLE_CHAIN first = {}, second = {};
  second.TrustStatus.dwErrorStatus = CERT_TRUST_IS_REVOKED;
  PCERT_SIMPLE_CHAIN chains[] = {&first, &second};
  CERT_CHAIN_CONTEXT signerChain = {};
  signerChain.cChain = 2;
  signerChain.rgpChain = chains;
  EXPECT_EQ(ChainErrors(signerChain), static_cast<uint32_t>(CERT_TRUST_IS_REVOKED));
  // The time stamp's chains: each counter-signer's, the last one's too.
  CERT_CHAIN_CONTEXT quiet = {}, offline = {};
  offline.TrustStatus.dwErrorStatus = CERT_TRUST_IS_OFFLINE_REVOCATION;
  CRYPT_PROVIDER_SGNR counterSigners[2] = {};
  counterSigners[0].pChainContext = &quiet;
  counterSigners[1].pChainContext = &offline;
  CRYPT_PROVIDER_SGNR signer = {};
  signer.csCounterSigners = 2;
  signer.pasCounterSigners = counterSigners;
  EXPECT_EQ(TimeStampErrors(signer), static_cast<uint32_t>(CERT_TRUST_IS_OFFLINE_REVOCATION));
}

TEST(DecideSignature, TheWholeNameAndARootOfTheMachine) {
  // A name cut at an embedded NUL would pass for the expected signer.
  SignatureFacts embedded = Signed();
  embedded.signerName = std::wstring(L"Tessaloom Test Signer\0Evil", 26);
  EXPECT_EQ(DecideSignature(embedded, kSigner), SignatureVerdict::kOtherSigner);
  SignatureFacts userRoot = Signed();
  userRoot.rootInMachineStore = false;
  EXPECT_EQ(DecideSignature(userRoot, kSigner), SignatureVerdict::kUserRootOnly);
  EXPECT_EQ(DecideSignature(userRoot, std::nullopt), SignatureVerdict::kUserRootOnly);
  userRoot.chainErrors = CERT_TRUST_IS_PARTIAL_CHAIN;
  EXPECT_EQ(DecideSignature(userRoot, kSigner), SignatureVerdict::kUntrustedRoot);
}

TEST(ChainHasPinnedKey, FindsTheCaKeyAsOpensslDigestsIt) {
  // The test installer beside this program, signed by the test signer under
  // the test code-signing CA, whose key the build digested with openssl.
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring installer = self;
  installer = installer.substr(0, installer.rfind(L'\\') + 1) + L"test_installer.exe";
  UniqueFile file(CreateFileW(installer.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  const auto facts = ReadSignatureFacts(file.get(), installer);
  ASSERT_TRUE(facts);
  ASSERT_TRUE(facts->rootInMachineStore);
  const std::string hex = TEST_CODESIGN_CA_KEY_SHA256;
  CaKey pin = {};
  ASSERT_EQ(hex.size(), 64u);
  for (size_t i = 0; i < pin.size(); ++i) pin[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
  // The signer's issuer is the CA: a stub signed after its build pins it.
  ASSERT_TRUE(facts->issuerKey);
  EXPECT_EQ(*facts->issuerKey, pin);
  EXPECT_TRUE(ChainHasPinnedKey(*facts, {pin}));
  EXPECT_TRUE(ChainHasPinnedKey(*facts, {}));
  CaKey other = pin;
  other[0] ^= 1;
  EXPECT_FALSE(ChainHasPinnedKey(*facts, {other}));
  // A list of accepted keys, as while a publisher moves to a new CA.
  EXPECT_TRUE(ChainHasPinnedKey(*facts, {other, pin}));
}
