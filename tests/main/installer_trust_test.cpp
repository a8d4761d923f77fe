#include "main/installer_trust.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

TEST(InstallerTrust, EachRefusalSaysWhichCaseWithTheErrorAndTheSigner) {
  SignatureFacts facts;
  facts.trustStatus = static_cast<int32_t>(TRUST_E_NOSIGNATURE);
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kMissing, facts, L"Tessaloom"),
            "The installer is not signed. Error code 0x800B0100");
  facts.trustStatus = static_cast<int32_t>(TRUST_E_BAD_DIGEST);
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kBroken, facts, L"Tessaloom"),
            "The installer does not match its signature. Error code 0x80096010");
  facts.trustStatus = 0;
  facts.hasSigner = true;
  facts.signerName = L"Tessaloom";
  facts.chainErrors = CERT_TRUST_IS_PARTIAL_CHAIN;
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kUntrustedRoot, facts, L"Tessaloom"),
            "The installer's signature by \"Tessaloom\" does not chain to a trusted root. Error code 0x00000000, "
            "chain status 0x00010000");
  facts.chainErrors = 0;
  facts.signerName = L"Another\nPublisher";
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kOtherSigner, facts, L"Tessaloom"),
            "The installer is signed by \"Another\\nPublisher\", not by the expected \"Tessaloom\"");
  facts.signerName = L"Tessaloom";
  facts.chainErrors = CERT_TRUST_IS_REVOKED;
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kRevoked, facts, L""),
            "The installer's certificate by \"Tessaloom\" has been revoked. Error code 0x00000000, "
            "chain status 0x00000004");
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kTrusted, facts, L""), "The installer is signed by \"Tessaloom\"");
}
