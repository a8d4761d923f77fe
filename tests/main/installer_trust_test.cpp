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

TEST(InstallerTrust, OnlyTheCrc32StandsBehindAnInstallerWithoutSignerOrSha256) {
  EXPECT_TRUE(RestsOnCrc32Alone(false, false));
  EXPECT_FALSE(RestsOnCrc32Alone(true, false));
  EXPECT_FALSE(RestsOnCrc32Alone(false, true));
  const std::string base =
      "The installer's integrity rests on its CRC-32 alone: no signer is required and the configuration has no "
      "\"sha256\"";
  EXPECT_EQ(Crc32AloneWarning(L"HTTPS://dl.example/qmx.exe"), base);
  EXPECT_EQ(Crc32AloneWarning(L"http://dl.example/qmx.exe"),
            base + "; its download is not protected by HTTPS either");
  EXPECT_FALSE(IsHttpsUrl(L"https:/x"));
  EXPECT_FALSE(IsHttpsUrl(L"ftp://x"));
  EXPECT_TRUE(IsHttpsUrl(L"https://x"));
}

TEST(InstallerTrust, AnUnsignedProgramWithoutTheSettingRequiresNoSigner) {
  // The test program is not signed, and the tests build leaves the setting
  // empty: the stub's own signer decides, and there is none.
  ASSERT_EQ(ConfiguredInstallerSigner(), L"");
  const auto signer = RequiredInstallerSigner();
  ASSERT_TRUE(signer) << signer.error().systemError;
  EXPECT_EQ(*signer, L"");
}
