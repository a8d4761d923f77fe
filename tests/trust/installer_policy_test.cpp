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

CaKey Key(uint8_t first) {
  CaKey key = {};
  key[0] = first;
  return key;
}

BuildTrustSettings Settings(const wchar_t* signer, std::vector<CaKey> pins, const wchar_t* builtIn = L"",
                            std::optional<CaKey> issuer = std::nullopt) {
  BuildTrustSettings settings;
  settings.configuredSigner = signer;
  settings.configuredPins = std::move(pins);
  settings.builtInSigner = builtIn;
  settings.builtInIssuer = issuer;
  return settings;
}

SignatureFacts OwnSignature(const wchar_t* name, std::optional<CaKey> issuer) {
  SignatureFacts facts;
  facts.hasSigner = true;
  facts.signerName = name;
  facts.issuerKey = issuer;
  return facts;
}

}  // namespace

// Where the signer and the pinned CA come from, in each kind of build.
TEST(InstallerTrust, TheBuildsSettingsWinAndTheStubsOwnSignatureFillsTheRest) {
  const CaKey configured = Key(1), builtIn = Key(2), own = Key(3);
  SignatureFacts unsigned_;
  unsigned_.trustStatus = static_cast<int32_t>(TRUST_E_NOSIGNATURE);
  struct Case {
    const char* name;
    BuildTrustSettings settings;
    std::optional<SignatureFacts> own;
    bool readsOwn;
    std::optional<std::wstring> signer;
    std::vector<CaKey> pins;
  } cases[] = {
      {"signed by the build", Settings(L"", {}, L"Built", builtIn), std::nullopt, false, L"Built", {builtIn}},
      {"build's pin overridden",
       Settings(L"", {configured, own}, L"Built", builtIn),
       std::nullopt,
       false,
       L"Built",
       {configured, own}},
      {"named signer, signed by the build",
       Settings(L"Named", {}, L"Built", builtIn),
       std::nullopt,
       false,
       L"Named",
       {builtIn}},
      {"signed after the build", Settings(L"", {}), OwnSignature(L"Own", own), true, L"Own", {own}},
      {"named signer, signed after the build",
       Settings(L"Named", {}),
       OwnSignature(L"Own", own),
       true,
       L"Named",
       {own}},
      {"pin given, signed after the build",
       Settings(L"", {configured}),
       OwnSignature(L"Own", own),
       true,
       L"Own",
       {configured}},
      {"unsigned with nothing set", Settings(L"", {}), unsigned_, true, std::nullopt, {}},
      {"unsigned with a named signer", Settings(L"Named", {}), unsigned_, true, L"Named", {}},
      {"unsigned with a pin only", Settings(L"", {configured}), unsigned_, true, std::nullopt, {configured}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NeedsOwnSignature(c.settings), c.readsOwn) << c.name;
    const auto requirement = DecideRequirement(c.settings, c.own);
    ASSERT_TRUE(requirement) << c.name;
    EXPECT_EQ(requirement->signer, c.signer) << c.name;
    EXPECT_EQ(requirement->pins, c.pins) << c.name;
    EXPECT_EQ(requirement->checksSignature(), c.signer.has_value() || !c.pins.empty()) << c.name;
  }
  // A signed stub whose signer or issuer can't be read leaves the installer's
  // requirement unknown: the run ends.
  EXPECT_FALSE(DecideRequirement(Settings(L"", {}), OwnSignature(L"", own)));
  EXPECT_FALSE(DecideRequirement(Settings(L"Named", {}), OwnSignature(L"Own", std::nullopt)));
}

TEST(InstallerTrust, ReadsEveryPinnedKey) {
  const std::wstring first(64, L'a');
  const std::wstring second = L"00FF" + std::wstring(60, L'0');
  const auto keys = ParseCaKeys(first + second);
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0][0], 0xAA);
  EXPECT_EQ(keys[0][31], 0xAA);
  EXPECT_EQ(keys[1][1], 0xFF);
  EXPECT_TRUE(ParseCaKeys(L"").empty());
}

TEST(InstallerTrust, SaysWhichChainsRevocationCouldNotBeChecked) {
  SignatureFacts facts;
  facts.trustStatus = static_cast<int32_t>(CERT_E_REVOCATION_FAILURE);
  facts.hasSigner = true;
  facts.signerName = L"Tessaloom";
  facts.timeStampErrors = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kTrustedRevocationOffline, facts, L"Tessaloom"),
            "The revocation of the installer's time stamp certificate could not be checked: its server could not be "
            "reached. Error code 0x800B010E, time stamp chain status 0x01000040");
  facts.chainErrors = facts.timeStampErrors;
  EXPECT_EQ(DescribeSignature(SignatureVerdict::kTrustedRevocationOffline, facts, L"Tessaloom"),
            "The revocation of the installer's certificate by \"Tessaloom\" could not be checked: its server could "
            "not be reached. Error code 0x800B010E, chain status 0x01000040");
}
