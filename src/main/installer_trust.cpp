#include "main/installer_trust.h"

#include <cstdio>
#include <cwctype>

#include "build_settings.h"
#include "log/log_setup.h"
#include "shell/stub_copy.h"

namespace {

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

Error SignatureError(uint32_t systemError) { return MakeError(ErrorCode::kInstallerRejected, systemError); }

}  // namespace

std::wstring ConfiguredInstallerSigner() { return STUB_INSTALLER_SIGNER_W; }

std::vector<uint8_t> PinnedCaKey() {
  const std::wstring hex = STUB_PINNED_CA_KEY_SHA256_W;
  std::vector<uint8_t> key;
  const auto digit = [](wchar_t c) { return std::iswdigit(c) ? c - L'0' : std::towlower(c) - L'a' + 10; };
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    key.push_back(static_cast<uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return key;
}

Result<std::optional<std::wstring>> RequiredInstallerSigner() {
  const std::wstring configured = ConfiguredInstallerSigner();
  if (!configured.empty()) return std::optional<std::wstring>(configured);
  const std::wstring builtIn = BuiltInOwnSigner();
  if (!builtIn.empty()) return std::optional<std::wstring>(builtIn);
  const auto own = OpenOwnImageFile();
  if (!own) {
    LOG(ERROR) << "Unable to read the running stub's own file to learn its signer. Error code "
               << own.error().systemError;
    return SignatureError(own.error().systemError);
  }
  const auto facts = ReadSignatureFacts(own->file.get(), own->path);
  if (!facts) {
    LOG(ERROR) << "Unable to read the running stub's signature. Error code " << facts.error().systemError;
    return SignatureError(facts.error().systemError);
  }
  const SignatureVerdict verdict = DecideSignature(*facts, std::nullopt);
  if (verdict == SignatureVerdict::kMissing) return std::optional<std::wstring>();
  if (!facts->hasSigner || facts->signerName.empty()) {
    LOG(ERROR) << "The running stub is signed, but its signer can't be read. Error code "
               << Hex(static_cast<uint32_t>(facts->trustStatus));
    return SignatureError(static_cast<uint32_t>(facts->trustStatus));
  }
  if (!AcceptsSignature(verdict)) {
    LOG(WARNING) << "The running stub's own signature by " << Quoted(facts->signerName) << " is not valid (error code "
                 << Hex(static_cast<uint32_t>(facts->trustStatus)) << ", chain status " << Hex(facts->chainErrors)
                 << "); the installer must still be signed by it";
  }
  return std::optional<std::wstring>(facts->signerName);
}

Status VerifyInstallerSignature(HANDLE file, const std::wstring& path, const std::wstring& signer) {
  const auto facts = ReadSignatureFacts(file, path);
  if (!facts) {
    LOG(ERROR) << "Unable to check the installer's signature. Error code " << Hex(facts.error().systemError);
    return SignatureError(facts.error().systemError);
  }
  const SignatureVerdict verdict = DecideSignature(*facts, signer);
  const std::string record = DescribeSignature(verdict, *facts, signer);
  if (!AcceptsSignature(verdict)) {
    LOG(ERROR) << record;
    return SignatureError(static_cast<uint32_t>(facts->trustStatus));
  }
  if (!ChainHasPinnedKey(*facts, PinnedCaKey())) {
    LOG(ERROR) << "The installer's signature by " << Quoted(facts->signerName)
               << " does not chain to the pinned certificate authority key";
    return SignatureError(static_cast<uint32_t>(CERT_E_UNTRUSTEDROOT));
  }
  if (verdict == SignatureVerdict::kTrustedRevocationOffline) LOG(WARNING) << record;
  LOG(INFO) << DescribeSignature(SignatureVerdict::kTrusted, *facts, signer);
  return Status();
}

bool RestsOnCrc32Alone(bool signerRequired, bool hasSha256) { return !signerRequired && !hasSha256; }

bool IsHttpsUrl(const std::wstring& url) {
  static const wchar_t kScheme[] = L"https://";
  if (url.size() < 8) return false;
  for (size_t i = 0; i < 8; ++i) {
    if (std::towlower(url[i]) != kScheme[i]) return false;
  }
  return true;
}

std::string Crc32AloneWarning(const std::wstring& wrapperUrl) {
  std::string warning =
      "The installer's integrity rests on its CRC-32 alone: no signer is required and the configuration "
      "has no \"sha256\"";
  if (!IsHttpsUrl(wrapperUrl)) warning += "; its download is not protected by HTTPS either";
  return warning;
}

std::string DescribeSignature(SignatureVerdict verdict, const SignatureFacts& facts,
                              const std::wstring& expectedSigner) {
  const std::string error = ". Error code " + Hex(static_cast<uint32_t>(facts.trustStatus));
  const std::string chain = ", chain status " + Hex(facts.chainErrors);
  const std::string by = facts.hasSigner ? " by " + Quoted(facts.signerName) : std::string();
  switch (verdict) {
    case SignatureVerdict::kTrusted: return "The installer is signed by " + Quoted(facts.signerName);
    case SignatureVerdict::kTrustedRevocationOffline:
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
  }
  return "The installer's signature was not understood" + error;
}
