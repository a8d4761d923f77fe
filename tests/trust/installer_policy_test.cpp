#include "trust/installer_policy.h"

#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

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

namespace {

BuildTrustSettings Build(const wchar_t* signer, std::vector<CaKey> pins, const wchar_t* builtIn = L"",
                         std::optional<CaKey> issuer = std::nullopt) {
  BuildTrustSettings settings;
  settings.configuredSigner = signer;
  settings.configuredPins = std::move(pins);
  settings.builtInSigner = builtIn;
  settings.builtInIssuer = issuer;
  return settings;
}

SignatureFacts Own(const wchar_t* name, std::optional<CaKey> issuer) {
  SignatureFacts facts;
  facts.hasSigner = true;
  facts.signerName = name;
  facts.issuerKey = issuer;
  return facts;
}

}  // namespace

// Where the signer and the pinned CA come from, in each kind of build; the
// stub's own file is read only where the build leaves one of them open.
TEST(InstallerTrust, TheBuildsSettingsWinAndTheStubsOwnSignatureFillsTheRest) {
  const CaKey set = {1}, built = {2}, own = {3};
  SignatureFacts unsigned_;
  unsigned_.trustStatus = static_cast<int32_t>(TRUST_E_NOSIGNATURE);
  const struct {
    BuildTrustSettings build;
    std::optional<SignatureFacts> own;
    std::optional<std::wstring> signer;
    std::vector<CaKey> pins;
  } cases[] = {
      {Build(L"", {}, L"Built", built), std::nullopt, L"Built", {built}},
      {Build(L"", {set, own}, L"Built", built), std::nullopt, L"Built", {set, own}},
      {Build(L"Named", {}, L"Built", built), std::nullopt, L"Named", {built}},
      {Build(L"", {}), Own(L"Own", own), L"Own", {own}},
      {Build(L"Named", {}), Own(L"Own", own), L"Named", {own}},
      {Build(L"", {set}), Own(L"Own", own), L"Own", {set}},
      {Build(L"", {}), unsigned_, std::nullopt, {}},
      {Build(L"Named", {}), unsigned_, L"Named", {}},
  };
  for (const auto& c : cases) {
    const std::string name = "case " + std::to_string(&c - cases);
    EXPECT_EQ(NeedsOwnSignature(c.build), c.own.has_value()) << name;
    const auto requirement = DecideRequirement(c.build, c.own);
    ASSERT_TRUE(requirement) << name;
    EXPECT_EQ(requirement->signer, c.signer) << name;
    EXPECT_EQ(requirement->pins, c.pins) << name;
  }
  // A signed stub whose signer or issuer can't be read leaves the installer's
  // requirement unknown: the run ends.
  EXPECT_FALSE(DecideRequirement(Build(L"", {}), Own(L"", own)));
  EXPECT_FALSE(DecideRequirement(Build(L"Named", {}), Own(L"Own", std::nullopt)));
}

TEST(InstallerTrust, SaysWhenTheTimeStampsRevocationCouldNotBeChecked) {
  SignatureFacts facts;
  facts.trustStatus = static_cast<int32_t>(CERT_E_REVOCATION_FAILURE);
  facts.timeStampErrors = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kTrustedRevocationOffline, facts, L"Tessaloom"),
            "The revocation of the installer's time stamp certificate could not be checked: its server could not be "
            "reached. Error code 0x800B010E, time stamp chain status 0x01000040");
}
