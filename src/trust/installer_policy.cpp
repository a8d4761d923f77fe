#include "trust/installer_policy.h"

#include "build_settings.h"
#include "common/text.h"
#include "files/own_image.h"
#include "log/log_setup.h"
#include "trust/own_signer.h"

namespace {

// The facts of the running stub's own signature, read from the file the
// process runs from.
Result<SignatureFacts> ReadOwnSignature() {
  const auto own = OpenOwnImageFile();
  if (!own) {
    LOG(ERROR) << "Unable to read the running stub's own file to learn its signer. Error code "
               << own.error().systemError;
    return own.error();
  }
  auto facts = ReadSignatureFacts(own->file.get(), own->path);
  if (!facts) {
    LOG(ERROR) << "Unable to read the running stub's signature. Error code " << facts.error().systemError;
    return facts.error();
  }
  const SignatureVerdict verdict = DecideSignature(*facts, std::nullopt);
  if (verdict != SignatureVerdict::kMissing && facts->hasSigner && !AcceptsSignature(verdict)) {
    LOG(WARNING) << "The running stub's own signature by " << Quoted(facts->signerName) << " is not valid (error code "
                 << Hex(static_cast<uint32_t>(facts->trustStatus)) << ", chain status " << Hex(facts->chainErrors)
                 << "); the installer must still be signed by it";
  }
  return facts;
}

}  // namespace

std::vector<CaKey> ParseCaKeys(const std::wstring& hex) {
  std::vector<CaKey> keys;
  for (size_t start = 0; start + 64 <= hex.size(); start += 64) {
    CaKey key = {};
    for (size_t i = 0; i < key.size(); ++i) {
      key[i] = static_cast<uint8_t>(HexDigitValue(hex[start + 2 * i]) * 16 + HexDigitValue(hex[start + 2 * i + 1]));
    }
    keys.push_back(key);
  }
  return keys;
}

BuildTrustSettings ThisBuildsTrustSettings() {
  BuildTrustSettings settings;
  settings.configuredSigner = STUB_INSTALLER_SIGNER_W;
  settings.configuredPins = ParseCaKeys(STUB_PINNED_CA_KEYS_SHA256_W);
  settings.builtInSigner = BuiltInOwnSigner();
  const auto issuer = ParseCaKeys(BuiltInOwnIssuerKey());
  if (!issuer.empty()) settings.builtInIssuer = issuer.front();
  settings.release = STUB_RELEASE_BUILD != 0;
  return settings;
}

bool NeedsOwnSignature(const BuildTrustSettings& settings) {
  const bool signerKnown = !settings.configuredSigner.empty() || !settings.builtInSigner.empty();
  const bool pinKnown = !settings.configuredPins.empty() || settings.builtInIssuer.has_value();
  return !signerKnown || !pinKnown;
}

Result<InstallerRequirement> DecideRequirement(const BuildTrustSettings& settings,
                                               const std::optional<SignatureFacts>& own) {
  InstallerRequirement requirement;
  if (!settings.configuredSigner.empty()) {
    requirement.signer = settings.configuredSigner;
  } else if (!settings.builtInSigner.empty()) {
    requirement.signer = settings.builtInSigner;
  }
  if (!settings.configuredPins.empty()) {
    requirement.pins = settings.configuredPins;
  } else if (settings.builtInIssuer) {
    requirement.pins.push_back(*settings.builtInIssuer);
  }
  const bool ownSigned = own && DecideSignature(*own, std::nullopt) != SignatureVerdict::kMissing;
  if (!ownSigned) return requirement;
  if (!requirement.signer) {
    if (!own->hasSigner || own->signerName.empty()) return Failure(static_cast<uint32_t>(own->trustStatus));
    requirement.signer = own->signerName;
  }
  if (requirement.pins.empty()) {
    if (!own->issuerKey) return Failure(static_cast<uint32_t>(own->trustStatus));
    requirement.pins.push_back(*own->issuerKey);
  }
  return requirement;
}

Result<InstallerRequirement> RequiredInstallerTrust() {
  const BuildTrustSettings settings = ThisBuildsTrustSettings();
  std::optional<SignatureFacts> own;
  if (NeedsOwnSignature(settings)) {
    auto facts = ReadOwnSignature();
    if (!facts) return facts.error();
    own = *std::move(facts);
  }
  auto requirement = DecideRequirement(settings, own);
  if (!requirement) {
    LOG(ERROR) << "The running stub is signed, but its signer or the authority that issued its certificate can't "
                  "be read. Error code "
               << Hex(requirement.error().systemError);
  }
  return requirement;
}

Status VerifyInstallerSignature(HANDLE file, const std::wstring& path, const InstallerRequirement& requirement) {
  const auto facts = ReadSignatureFacts(file, path);
  if (!facts) {
    LOG(ERROR) << "Unable to check the installer's signature. Error code " << Hex(facts.error().systemError);
    return facts.error();
  }
  const SignatureVerdict verdict = DecideSignature(*facts, requirement.signer);
  const std::wstring expected = requirement.signer.value_or(std::wstring());
  const std::string record = DescribeSignature(verdict, *facts, expected);
  if (!AcceptsSignature(verdict)) {
    LOG(ERROR) << record;
    return Failure(static_cast<uint32_t>(facts->trustStatus));
  }
  if (!ChainHasPinnedKey(*facts, requirement.pins)) {
    LOG(ERROR) << "The installer's signature by " << Quoted(facts->signerName)
               << " does not chain to the certificate authority this stub trusts for its publisher";
    return Failure(static_cast<uint32_t>(CERT_E_UNTRUSTEDROOT));
  }
  if (verdict == SignatureVerdict::kTrustedRevocationOffline) LOG(WARNING) << record;
  LOG(INFO) << DescribeSignature(SignatureVerdict::kTrusted, *facts, expected);
  return Status();
}

std::string Crc32AloneWarning(const std::wstring& wrapperUrl) {
  std::string warning =
      "The installer's integrity rests on its CRC-32 alone: no signer is required and the configuration "
      "has no \"sha256\"";
  if (!StartsWithHttps(wrapperUrl)) warning += "; its download is not protected by HTTPS either";
  return warning;
}

std::string DescribeSignature(SignatureVerdict verdict, const SignatureFacts& facts,
                              const std::wstring& expectedSigner) {
  const std::string error = ". Error code " + Hex(static_cast<uint32_t>(facts.trustStatus));
  const std::string chain = ", chain status " + Hex(facts.chainErrors);
  const std::string stamp = ", time stamp chain status " + Hex(facts.timeStampErrors);
  const std::string by = facts.hasSigner ? " by " + Quoted(facts.signerName) : std::string();
  switch (verdict) {
    case SignatureVerdict::kTrusted: return "The installer is signed by " + Quoted(facts.signerName);
    case SignatureVerdict::kTrustedRevocationOffline:
      if ((facts.chainErrors & (CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) == 0 &&
          facts.timeStampErrors != 0) {
        return "The revocation of the installer's time stamp certificate could not be checked: its server could "
               "not be reached" +
               error + stamp;
      }
      return "The revocation of the installer's certificate" + by +
             " could not be checked: its server could not be reached" + error + chain;
    case SignatureVerdict::kMissing: return "The installer is not signed" + error;
    case SignatureVerdict::kBroken: return "The installer does not match its signature" + by + error;
    case SignatureVerdict::kUntrustedRoot:
      return "The installer's signature" + by + " does not chain to a trusted root" + error + chain;
    case SignatureVerdict::kWrongUsage:
      return "The installer's certificate" + by + " is not meant for code signing" + error + chain;
    case SignatureVerdict::kRevoked: return "The installer's certificate" + by + " has been revoked" + error + chain;
    case SignatureVerdict::kUserRootOnly:
      return "The installer's signature" + by + " chains to a root that only the current user trusts, not the machine" +
             error + chain;
    case SignatureVerdict::kInvalidCertificate:
      return "The installer's certificate" + by + " is not valid" + error + chain;
    case SignatureVerdict::kOtherSigner:
      return "The installer is signed by " + Quoted(facts.signerName) + ", not by the expected " +
             Quoted(expectedSigner);
    case SignatureVerdict::kTimeStampInvalid:
      return "The installer's time stamp is revoked or does not chain to a trusted root" + error + stamp;
  }
  return "The installer's signature was not understood" + error;
}
