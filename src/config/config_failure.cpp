#include "config/config_failure.h"

#include "common/text.h"
#include "config/config_download.h"

namespace {

// WinHTTP's error numbers (winhttp.h).
constexpr uint32_t kTimeout = 12002;
constexpr uint32_t kNameNotResolved = 12007;
constexpr uint32_t kCannotConnect = 12029;
constexpr uint32_t kConnectionError = 12030;
constexpr uint32_t kCertDateInvalid = 12037;
// The SSL policy's verdicts (winerror.h).
constexpr uint32_t kCertExpired = 0x800B0101;

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (const wchar_t c : text) narrow += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  return narrow;
}

std::string ErrorCodeText(uint32_t error) {
  return ". Error code " + (error > 0xFFFF ? Hex(error) : std::to_string(error));
}

bool IsReadableStatus(const std::wstring& status) {
  return !status.empty() && status.size() <= 3 && status.find_first_not_of(L"0123456789") == std::wstring::npos;
}

std::string StatusRecord(const ConfigRequestFacts& facts) {
  return "The configuration server answered with HTTP status " + Narrow(facts.status);
}

std::string ProxyRecord(const ConfigRequestFacts& facts) {
  std::string text = StatusRecord(facts) + ": the proxy asks for credentials (it offers " +
                     DescribeAuthSchemes(facts.proxySchemes) + ")";
  if (facts.proxyAnswered) return text + "; the signed-in user's were refused";
  if (facts.proxyOrigin == ProxyOrigin::kDirect) return text + "; no proxy is configured for the request";
  if (!MayReceiveDefaultCredentials(facts.proxyOrigin)) {
    return text + "; the signed-in user's go only to a proxy configured on this computer, and this is " +
           DescribeProxyOrigin(facts.proxyOrigin);
  }
  return text + "; the signed-in user's are given only for Negotiate or NTLM";
}

std::string CertificateRecord(ConfigFailure failure, const ConfigRequestFacts& facts) {
  const RefusedCertificate& seen = *facts.certificate;
  std::string text = "The configuration server's certificate was refused: ";
  if (failure == ConfigFailure::kCertificateDates) {
    text += "the computer's clock reads " + FormatFileTimeUtc(seen.now) + ", the certificate is valid from " +
            FormatFileTimeUtc(seen.notBefore) + " to " + FormatFileTimeUtc(seen.notAfter);
  } else {
    text += "it does not chain to a root this computer trusts, or is issued for another name (an inspecting proxy "
            "or security program may stand in between)";
  }
  return text + ErrorCodeText(facts.error) + ", certificate check " + Hex(seen.policyError);
}

}  // namespace

bool IsHtmlPage(const std::wstring& contentType, const std::wstring& body) {
  if (!StartsWithIgnoringCase(contentType, L"text/html")) return false;
  const size_t first = body.find_first_not_of(L" \t\r\n\xFEFF");
  return first != std::wstring::npos && body[first] == L'<';
}

ConfigFailure ClassifyConfigFailure(const ConfigRequestFacts& facts) {
  if (facts.userTrustOnly) return ConfigFailure::kCertificateUntrusted;
  if (facts.deadlinePassed) return ConfigFailure::kNoConnection;
  if (facts.error != 0) {
    if (facts.error == kNameNotResolved) return ConfigFailure::kNameNotResolved;
    if (facts.error == kCannotConnect || facts.error == kTimeout || facts.error == kConnectionError) {
      return ConfigFailure::kNoConnection;
    }
    if (facts.certificate && IsTlsRefusal(facts.error)) {
      const bool dates = !facts.certificate->ValidNow() || facts.certificate->policyError == kCertExpired;
      return dates ? ConfigFailure::kCertificateDates : ConfigFailure::kCertificateUntrusted;
    }
    if (facts.error == kCertDateInvalid) return ConfigFailure::kCertificateDates;
    if (IsTlsRefusal(facts.error)) return ConfigFailure::kCertificateUntrusted;  // no certificate to tell
    return ConfigFailure::kOther;
  }
  if (facts.status == L"407") return ConfigFailure::kProxyCredentials;
  if (facts.status == L"403" || facts.status == L"451") return ConfigFailure::kBlocked;
  if (facts.status == L"200") {
    return IsHtmlPage(facts.contentType, facts.body) ? ConfigFailure::kSignInPage : ConfigFailure::kOther;
  }
  return ConfigFailure::kOtherStatus;
}

std::string ConfigFailureRecord(ConfigFailure failure, const ConfigRequestFacts& facts) {
  switch (failure) {
    case ConfigFailure::kNameNotResolved:
      return "The configuration request failed: the server's name could not be resolved" + ErrorCodeText(facts.error);
    case ConfigFailure::kNoConnection:
      if (facts.deadlinePassed) {
        return "The configuration request did not end within " + std::to_string(kConfigRequestDeadlineMs / 1000) +
               " seconds; it is given up";
      }
      return "The configuration request failed: no connection to the server could be made or kept" +
             ErrorCodeText(facts.error);
    case ConfigFailure::kProxyCredentials: return ProxyRecord(facts);
    case ConfigFailure::kCertificateDates:
    case ConfigFailure::kCertificateUntrusted:
      if (facts.userTrustOnly) {
        return "The configuration server's certificate chains to a root that only the current user trusts, not "
               "the machine: the configuration is refused" +
               ErrorCodeText(facts.error);
      }
      if (facts.certificate && IsTlsRefusal(facts.error)) return CertificateRecord(failure, facts);
      return "The configuration server's certificate was refused" + ErrorCodeText(facts.error);
    case ConfigFailure::kBlocked:
      return StatusRecord(facts) + ": the network, a filter or the country blocks the server";
    case ConfigFailure::kSignInPage:
      return "The configuration server's answer is an HTML page (Content-Type \"" + Narrow(facts.contentType) +
             "\"), not the document: a network's sign-in page answers in its place";
    case ConfigFailure::kOtherStatus:
      if (!IsReadableStatus(facts.status)) return "The configuration server's answer has no readable HTTP status";
      return StatusRecord(facts);
    case ConfigFailure::kOther: break;
  }
  return "The configuration request failed" + ErrorCodeText(facts.error);
}
