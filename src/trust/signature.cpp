#include "trust/signature.h"

#include <bcrypt.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <vector>

#include "common/unique_handle.h"

namespace {

// The revocation bits a run survives: no answer about revocation, because the
// certificate names no server or the server could not be reached.
constexpr DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
constexpr DWORD kUntrustedRootBits = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT |
                                     CERT_TRUST_IS_EXPLICIT_DISTRUST;

bool IsRevocationOnlyFailure(int32_t status) {
  return status == static_cast<int32_t>(CERT_E_REVOCATION_FAILURE) ||
         status == static_cast<int32_t>(CRYPT_E_REVOCATION_OFFLINE) ||
         status == static_cast<int32_t>(CRYPT_E_NO_REVOCATION_CHECK);
}

// A verdict from WinVerifyTrust's own answer, for the answers that say more
// than the chain's bits.
SignatureVerdict VerdictFromStatus(int32_t status) {
  switch (static_cast<HRESULT>(status)) {
    case TRUST_E_NOSIGNATURE:
    case TRUST_E_SUBJECT_FORM_UNKNOWN: return SignatureVerdict::kMissing;
    case CERT_E_REVOKED:
    case CRYPT_E_REVOKED: return SignatureVerdict::kRevoked;
    case CERT_E_UNTRUSTEDROOT:
    case CERT_E_CHAINING:
    case TRUST_E_EXPLICIT_DISTRUST: return SignatureVerdict::kUntrustedRoot;
    case CERT_E_WRONG_USAGE:
    case CERT_E_PURPOSE: return SignatureVerdict::kWrongUsage;
    case CERT_E_EXPIRED: return SignatureVerdict::kInvalidCertificate;
    default: return SignatureVerdict::kBroken;
  }
}

// Owns the state that a WinVerifyTrust verification leaves for its reader.
class TrustState {
 public:
  explicit TrustState(WINTRUST_DATA& data) : data_(data) {}
  ~TrustState() {
    if (data_.hWVTStateData == nullptr) return;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
  }
  TrustState(const TrustState&) = delete;
  TrustState& operator=(const TrustState&) = delete;

 private:
  WINTRUST_DATA& data_;
};

bool AllowsCodeSigning(PCCERT_CONTEXT certificate) {
  DWORD size = 0;
  if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, nullptr, &size)) {
    // No extended key usage at all: the certificate is good for every purpose.
    return GetLastError() == static_cast<DWORD>(CRYPT_E_NOT_FOUND);
  }
  std::vector<BYTE> buffer(size);
  auto* usage = reinterpret_cast<PCERT_ENHKEY_USAGE>(buffer.data());
  if (!CertGetEnhancedKeyUsage(certificate, CERT_FIND_EXT_ONLY_ENHKEY_USAGE_FLAG, usage, &size)) return false;
  for (DWORD i = 0; i < usage->cUsageIdentifier; ++i) {
    if (std::string(usage->rgpszUsageIdentifier[i]) == szOID_PKIX_KP_CODE_SIGNING) return true;
  }
  return false;
}

// The whole name the system gives, an embedded NUL included: a certificate
// named "Signer\0more" must not pass for "Signer".
std::wstring SimpleDisplayName(PCCERT_CONTEXT certificate) {
  const DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
  if (length <= 1) return std::wstring();
  std::vector<wchar_t> name(length);
  const DWORD written = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), length);
  if (written <= 1 || written > length) return std::wstring();
  return std::wstring(name.data(), written - 1);
}

// True when the certificate is in one of the machine's stores of trusted
// roots; a root that only the current user's store holds may have been put
// there by any program of the user.
bool IsMachineRoot(PCCERT_CONTEXT root) {
  for (const wchar_t* name : {L"Root", L"AuthRoot"}) {
    HCERTSTORE store = CertOpenStore(
        CERT_STORE_PROV_SYSTEM_W, 0, 0,
        CERT_SYSTEM_STORE_LOCAL_MACHINE | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, name);
    if (store == nullptr) continue;
    PCCERT_CONTEXT found = CertFindCertificateInStore(store, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                      CERT_FIND_EXISTING, root, nullptr);
    const bool machine = found != nullptr;
    if (found != nullptr) CertFreeCertificateContext(found);
    CertCloseStore(store, 0);
    if (machine) return true;
  }
  return false;
}

// The SHA-256 of the certificate's SubjectPublicKeyInfo, as publishers pin a CA.
bool PublicKeyDigest(PCCERT_CONTEXT certificate, CaKey& digest) {
  DWORD size = 0;
  CERT_PUBLIC_KEY_INFO* key = &certificate->pCertInfo->SubjectPublicKeyInfo;
  if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, nullptr, &size)) return false;
  std::vector<BYTE> encoded(size);
  if (!CryptEncodeObject(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, encoded.data(), &size)) return false;
  DWORD length = static_cast<DWORD>(digest.size());
  return CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, encoded.data(), size, digest.data(), &length) &&
         length == digest.size();
}

// The keys of the signer's own chain (the first: the others are chains of
// trust lists), and the issuer's among them.
void ReadChainKeys(const CERT_SIMPLE_CHAIN& chain, SignatureFacts& facts) {
  for (DWORD i = 0; i < chain.cElement; ++i) {
    CaKey digest = {};
    const bool digested = PublicKeyDigest(chain.rgpElement[i]->pCertContext, digest);
    if (digested) facts.chainKeys.push_back(digest);
    if (digested && i == std::min<DWORD>(1, chain.cElement - 1)) facts.issuerKey = digest;
  }
  if (chain.cElement > 0) facts.rootInMachineStore = IsMachineRoot(chain.rgpElement[chain.cElement - 1]->pCertContext);
}

// The faults of every signer's chains and time stamps: a second signer the
// system verified counts as much as the first.
void ReadChainErrors(CRYPT_PROVIDER_DATA& provider, SignatureFacts& facts) {
  for (DWORD i = 0; i < provider.csSigners; ++i) {
    const CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(&provider, i, FALSE, 0);
    if (signer == nullptr) continue;
    if (signer->pChainContext != nullptr) facts.chainErrors |= ChainErrors(*signer->pChainContext);
    facts.timeStampErrors |= TimeStampErrors(*signer);
  }
}

// The signer's certificate and chains, where the verification got that far.
void ReadSigner(HANDLE stateData, SignatureFacts& facts) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(stateData);
  if (provider == nullptr) return;
  ReadChainErrors(*provider, facts);
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) return;
  PCCERT_CONTEXT certificate = nullptr;
  if (signer->pChainContext != nullptr) {
    const CERT_SIMPLE_CHAIN* chain = signer->pChainContext->cChain > 0 ? signer->pChainContext->rgpChain[0] : nullptr;
    if (chain != nullptr && chain->cElement > 0) {
      certificate = chain->rgpElement[0]->pCertContext;
      ReadChainKeys(*chain, facts);
    }
  }
  if (certificate == nullptr) {
    CRYPT_PROVIDER_CERT* provided = WTHelperGetProvCertFromChain(signer, 0);
    if (provided != nullptr) certificate = provided->pCert;
  }
  if (certificate == nullptr) return;
  facts.hasSigner = true;
  facts.signerName = SimpleDisplayName(certificate);
  facts.codeSigningUsage = AllowsCodeSigning(certificate);
}

}  // namespace

SignatureVerdict DecideSignature(const SignatureFacts& facts, const std::optional<std::wstring>& expectedSigner) {
  if (facts.trustStatus != 0 && !IsRevocationOnlyFailure(facts.trustStatus)) {
    return VerdictFromStatus(facts.trustStatus);
  }
  if (!facts.hasSigner) return SignatureVerdict::kBroken;
  if ((facts.chainErrors & CERT_TRUST_IS_REVOKED) != 0) return SignatureVerdict::kRevoked;
  if ((facts.chainErrors & kUntrustedRootBits) != 0) return SignatureVerdict::kUntrustedRoot;
  if (!facts.rootInMachineStore) return SignatureVerdict::kUserRootOnly;
  if ((facts.chainErrors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) != 0 || !facts.codeSigningUsage) {
    return SignatureVerdict::kWrongUsage;
  }
  if ((facts.chainErrors & ~kRevocationUnknown) != 0) return SignatureVerdict::kInvalidCertificate;
  // A forged or revoked time stamp could vouch for a signature made after its
  // certificate expired. Other faults of its chain (a time-stamping
  // certificate past its own validity) are the system's to weigh, in its
  // answer above.
  if ((facts.timeStampErrors & (CERT_TRUST_IS_REVOKED | kUntrustedRootBits)) != 0) {
    return SignatureVerdict::kTimeStampInvalid;
  }
  // A revocation-only failure that neither chain's bits explain says
  // something the bits do not: take the system's word that it failed.
  const uint32_t revocation = (facts.chainErrors | facts.timeStampErrors) & kRevocationUnknown;
  if (IsRevocationOnlyFailure(facts.trustStatus) && revocation == 0) return SignatureVerdict::kInvalidCertificate;
  if (expectedSigner && facts.signerName != *expectedSigner) return SignatureVerdict::kOtherSigner;
  // A certificate that names no revocation server has nothing to be asked;
  // one whose server did not answer may have been revoked since.
  const bool offline = (revocation & CERT_TRUST_IS_OFFLINE_REVOCATION) != 0 ||
                       facts.trustStatus == static_cast<int32_t>(CRYPT_E_REVOCATION_OFFLINE);
  return offline ? SignatureVerdict::kTrustedRevocationOffline : SignatureVerdict::kTrusted;
}

uint32_t ChainErrors(const CERT_CHAIN_CONTEXT& context) {
  uint32_t errors = context.TrustStatus.dwErrorStatus;
  for (DWORD i = 0; i < context.cChain; ++i) {
    if (context.rgpChain[i] != nullptr) errors |= context.rgpChain[i]->TrustStatus.dwErrorStatus;
  }
  return errors;
}

uint32_t TimeStampErrors(const CRYPT_PROVIDER_SGNR& signer) {
  uint32_t errors = 0;
  for (DWORD i = 0; i < signer.csCounterSigners; ++i) {
    const CERT_CHAIN_CONTEXT* chain = signer.pasCounterSigners[i].pChainContext;
    if (chain != nullptr) errors |= ChainErrors(*chain);
  }
  return errors;
}

bool ChainHasPinnedKey(const SignatureFacts& facts, const std::vector<CaKey>& pins) {
  if (pins.empty()) return true;
  for (const auto& key : facts.chainKeys) {
    if (std::find(pins.begin(), pins.end(), key) != pins.end()) return true;
  }
  return false;
}

bool AcceptsSignature(SignatureVerdict verdict) {
  return verdict == SignatureVerdict::kTrusted || verdict == SignatureVerdict::kTrustedRevocationOffline;
}

Result<SignatureFacts> ReadSignatureFacts(HANDLE file, const std::wstring& path) {
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path.c_str();
  fileInfo.hFile = file;

  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT;

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  SignatureFacts facts;
  facts.trustStatus = static_cast<int32_t>(WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
  const TrustState state(data);
  if (data.hWVTStateData != nullptr) ReadSigner(data.hWVTStateData, facts);
  if (facts.trustStatus == static_cast<int32_t>(TRUST_E_PROVIDER_UNKNOWN) ||
      facts.trustStatus == static_cast<int32_t>(TRUST_E_ACTION_UNKNOWN)) {
    return Failure(static_cast<uint32_t>(facts.trustStatus));
  }
  return facts;
}
