#include "authenticode.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "process.h"
#include "text.h"

namespace {

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The first line of the output that holds one of the words, trimmed.
std::string LineWith(const std::string& output, const std::vector<std::string>& words) {
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = output.substr(start, end - start);
    for (const std::string& word : words) {
      if (line.find(word) != std::string::npos) {
        const size_t first = line.find_first_not_of(" \t");
        return first == std::string::npos ? line : line.substr(first);
      }
    }
    start = end + 1;
  }
  return std::string();
}

// Windows' simple display name of a subject: its common name, else its
// organisational unit, organisation or e-mail address.
std::wstring SimpleDisplayName(X509* certificate) {
  X509_NAME* subject = X509_get_subject_name(certificate);
  for (const int nid : {NID_commonName, NID_organizationalUnitName, NID_organizationName, NID_pkcs9_emailAddress}) {
    const int index = X509_NAME_get_index_by_NID(subject, nid, -1);
    if (index < 0) continue;
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) continue;
    std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return WideFromUtf8(name);
  }
  return std::wstring();
}

// No extended key usage at all allows every purpose, as on Windows.
bool AllowsCodeSigning(X509* certificate) {
  if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0) return true;
  return (X509_get_extended_key_usage(certificate) & XKU_CODE_SIGN) != 0;
}

// osslsigncode writes no file that exists: a private folder holds the new one.
struct TempFile {
  std::string folder;
  std::string path;
  TempFile() {
    char name[] = "/tmp/tessaloom-publish-sig-XXXXXX";
    if (mkdtemp(name) != nullptr) {
      folder = name;
      path = folder + "/signature.pem";
    }
  }
  ~TempFile() {
    if (folder.empty()) return;
    std::remove(path.c_str());
    rmdir(folder.c_str());
  }
};

// The signer's certificate of the extracted signature; null where it can't be read.
X509* ReadSigner(const std::string& pemFile, std::unique_ptr<PKCS7, decltype(&PKCS7_free)>& signature) {
  const std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_file(pemFile.c_str(), "r"), BIO_free);
  if (!in) return nullptr;
  signature.reset(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!signature || !PKCS7_type_is_signed(signature.get())) return nullptr;
  STACK_OF(X509)* signers = PKCS7_get0_signers(signature.get(), nullptr, 0);
  if (signers == nullptr) return nullptr;
  X509* signer = sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
  sk_X509_free(signers);  // the certificates belong to the signature
  return signer;
}

// The SHA-256 of the certificate's SubjectPublicKeyInfo, in lower-case hexadecimal.
std::string KeyDigest(X509* certificate) {
  unsigned char* der = nullptr;
  const int length = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
  if (length <= 0) return std::string();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool digested = EVP_Digest(der, static_cast<size_t>(length), digest, &size, EVP_sha256(), nullptr) == 1;
  OPENSSL_free(der);
  std::string hex;
  for (unsigned int i = 0; digested && i < size; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// The certificates the signature carries.
STACK_OF(X509) * SignatureCertificates(PKCS7& signature) {
  return PKCS7_type_is_signed(&signature) ? signature.d.sign->cert : nullptr;
}

// True when a certificate the signature carries has one of the keys.
bool HoldsKey(PKCS7& signature, const std::vector<std::string>& keys) {
  STACK_OF(X509)* certificates = SignatureCertificates(signature);
  for (int i = 0; certificates != nullptr && i < sk_X509_num(certificates); ++i) {
    const std::string key = KeyDigest(sk_X509_value(certificates, i));
    for (const std::string& wanted : keys) {
      if (key == wanted) return true;
    }
  }
  return false;
}

// Extracts the file's signature into extracted.path; false when it has none.
bool ExtractSignature(const std::string& path, const TempFile& extracted, std::string& error) {
  if (extracted.path.empty()) {
    error = "no temporary file";
    return false;
  }
  const ProgramRun extract = RunProgram(
      {"osslsigncode", "extract-signature", "-pem", "-in", path, "-out", extracted.path});
  if (!extract.started) {
    error = "osslsigncode could not be run: install the Debian package osslsigncode";
    return false;
  }
  if (extract.status != 0) {
    error = LineWith(extract.output, {"No signature", "Unable", "error"});
    return false;
  }
  return true;
}

// The signer's certificate of the file's signature, owned by `signature`;
// null, with the reason in error, where it has none.
X509* ReadSignatureSigner(const std::string& path, std::unique_ptr<PKCS7, decltype(&PKCS7_free)>& signature,
                          std::string& error) {
  const TempFile extracted;
  if (!ExtractSignature(path, extracted, error)) return nullptr;
  X509* signer = ReadSigner(extracted.path, signature);
  if (signer == nullptr) error = "its signature names no signer certificate";
  return signer;
}

}  // namespace

std::optional<std::wstring> ReadSignerName(const std::string& path, std::string& error) {
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signature(nullptr, PKCS7_free);
  X509* signer = ReadSignatureSigner(path, signature, error);
  if (signer == nullptr) return std::nullopt;
  return SimpleDisplayName(signer);
}

std::optional<std::string> ReadIssuerKey(const std::string& path, std::string& error) {
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signature(nullptr, PKCS7_free);
  X509* signer = ReadSignatureSigner(path, signature, error);
  if (signer == nullptr) return std::nullopt;
  if (X509_check_issued(signer, signer) == X509_V_OK) return KeyDigest(signer);
  STACK_OF(X509)* certificates = SignatureCertificates(*signature);
  for (int i = 0; certificates != nullptr && i < sk_X509_num(certificates); ++i) {
    X509* candidate = sk_X509_value(certificates, i);
    if (X509_check_issued(candidate, signer) == X509_V_OK) return KeyDigest(candidate);
  }
  error = "its signature does not hold the certificate of the CA that issued its signer's";
  return std::nullopt;
}

SignerCheck CheckSigner(const std::string& path, const std::wstring& expectedSigner,
                        const std::vector<std::string>& caKeys, const std::string& caFile,
                        const std::string& tsaCaFile) {
  SignerCheck check;
  const TempFile extracted;
  if (!ExtractSignature(path, extracted, check.detail)) {
    const bool notSigned = check.detail.find("osslsigncode could not") == std::string::npos &&
                           check.detail != "no temporary file";
    check.record = notSigned ? "The installer is not signed" : "Unable to check the installer's signature";
    return check;
  }
  std::unique_ptr<PKCS7, decltype(&PKCS7_free)> signature(nullptr, PKCS7_free);
  X509* signer = ReadSigner(extracted.path, signature);
  if (signer == nullptr) {
    check.record = "The installer does not match its signature";
    check.detail = "its signature names no signer certificate";
    return check;
  }
  const std::wstring name = SimpleDisplayName(signer);
  const std::string by = " by " + Quoted(Printable(name));

  std::vector<std::string> verify = {"osslsigncode", "verify", "-in", path};
  if (!caFile.empty()) verify.insert(verify.end(), {"-CAfile", caFile});
  const std::string tsaRoots = tsaCaFile.empty() ? caFile : tsaCaFile;
  if (!tsaRoots.empty()) verify.insert(verify.end(), {"-TSA-CAfile", tsaRoots});
  const ProgramRun verified = RunProgram(verify);
  if (verified.status != 0) {
    if (verified.output.find("MISMATCH") != std::string::npos) {
      check.record = "The installer does not match its signature" + by;
      check.detail = LineWith(verified.output, {"MISMATCH"});
    } else if (!AllowsCodeSigning(signer)) {
      check.record = "The installer's certificate" + by + " is not meant for code signing";
    } else if (verified.output.find("expired") != std::string::npos ||
               verified.output.find("not yet valid") != std::string::npos) {
      check.record = "The installer's certificate" + by + " is not valid";
      check.detail = LineWith(verified.output, {"expired", "not yet valid"});
    } else {
      check.record = "The installer's signature" + by + " does not chain to a trusted root";
      check.detail = LineWith(verified.output, {"Error:", "error", "Failed"});
    }
    return check;
  }
  if (!AllowsCodeSigning(signer)) {
    check.record = "The installer's certificate" + by + " is not meant for code signing";
    return check;
  }
  if (name != expectedSigner) {
    check.record = "The installer is signed by " + Quoted(Printable(name)) + ", not by the expected " +
                   Quoted(Printable(expectedSigner));
    return check;
  }
  if (!caKeys.empty() && !HoldsKey(*signature, caKeys)) {
    check.record = "The installer's signature" + by +
                   " does not chain to the certificate authority this stub trusts for its publisher";
    check.detail = "no certificate of its signature has the key of the CA that issued the stub's";
    return check;
  }
  check.accepted = true;
  check.record = "The installer is signed by " + Quoted(Printable(name));
  if (verified.output.find("Timestamp is not available") != std::string::npos) {
    check.detail = "not time-stamped: the signature stops verifying when the certificate expires";
  }
  return check;
}
