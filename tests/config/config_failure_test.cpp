// What ended a configuration request, from the facts WinHTTP and the
// certificate report: each class with the record a support person reads.
#include "config/config_failure.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t kDay = 864000000000ull;  // FILETIME ticks
constexpr uint64_t kNow = 134100000000000000ull;

ConfigRequestFacts Failed(uint32_t error) {
  ConfigRequestFacts facts;
  facts.error = error;
  return facts;
}

ConfigRequestFacts Answered(const wchar_t* status, const wchar_t* contentType = L"application/json",
                            const wchar_t* body = L"{}") {
  ConfigRequestFacts facts;
  facts.status = status;
  facts.contentType = contentType;
  facts.body = body;
  return facts;
}

ConfigRequestFacts Refused(uint32_t error, uint64_t notBefore, uint64_t notAfter, uint32_t policyError) {
  ConfigRequestFacts facts = Failed(error);
  facts.certificate = RefusedCertificate{notBefore, notAfter, kNow, policyError};
  return facts;
}

ConfigRequestFacts ProxyAsks(uint32_t schemes, ProxyOrigin origin, bool answered) {
  ConfigRequestFacts facts = Answered(L"407", L"text/html", L"<html>");
  facts.proxySchemes = schemes;
  facts.proxyOrigin = origin;
  facts.proxyAnswered = answered;
  return facts;
}

ConfigRequestFacts UserTrustOnly() {
  ConfigRequestFacts facts = Failed(0x800B0109);
  facts.userTrustOnly = true;
  return facts;
}

ConfigRequestFacts PastDeadline() {
  ConfigRequestFacts facts = Failed(12002);
  facts.deadlinePassed = true;
  return facts;
}

}  // namespace

TEST(ClassifyConfigFailure, EachFailureGetsItsClassAndEvidence) {
  using F = ConfigFailure;
  const std::string server = "The configuration server answered with HTTP status ";
  const std::string refused = "The configuration server's certificate was refused: ";
  const std::string inspected =
      "it does not chain to a root this computer trusts, or is issued for another name (an inspecting proxy or "
      "security program may stand in between)";
  const struct {
    const char* what;
    ConfigRequestFacts facts;
    ConfigFailure failure;
    std::string record;
  } cases[] = {
      {"no name", Failed(12007), F::kNameNotResolved,
       "The configuration request failed: the server's name could not be resolved. Error code 12007"},
      {"refused", Failed(12029), F::kNoConnection,
       "The configuration request failed: no connection to the server could be made or kept. Error code 12029"},
      {"dropped", Failed(12030), F::kNoConnection,
       "The configuration request failed: no connection to the server could be made or kept. Error code 12030"},
      {"deadline", PastDeadline(), F::kNoConnection,
       "The configuration request did not end within 30 seconds; it is given up"},
      {"expired, clock right", Refused(12157, kNow - 400 * kDay, kNow - kDay, 0x800B0101), F::kCertificateDates,
       refused + "the computer's clock reads 2025-12-12 08:00:00 UTC, the certificate is valid from 2024-11-07 "
                 "08:00:00 UTC to 2025-12-11 08:00:00 UTC. Error code 12157, certificate check 0x800B0101"},
      {"clock years behind", Refused(12175, kNow + 30 * kDay, kNow + 400 * kDay, 0x800B0101), F::kCertificateDates,
       refused + "the computer's clock reads 2025-12-12 08:00:00 UTC, the certificate is valid from 2026-01-11 "
                 "08:00:00 UTC to 2027-01-16 08:00:00 UTC. Error code 12175, certificate check 0x800B0101"},
      {"inspecting proxy", Refused(12175, kNow - kDay, kNow + kDay, 0x800B0109), F::kCertificateUntrusted,
       refused + inspected + ". Error code 12175, certificate check 0x800B0109"},
      {"another name", Refused(12157, kNow - kDay, kNow + kDay, 0x800B010F), F::kCertificateUntrusted,
       refused + inspected + ". Error code 12157, certificate check 0x800B010F"},
      {"dates by WinHTTP alone", Failed(12037), F::kCertificateDates,
       "The configuration server's certificate was refused. Error code 12037"},
      {"TLS without a certificate", Failed(12175), F::kCertificateUntrusted,
       "The configuration server's certificate was refused. Error code 12175"},
      {"user's root", UserTrustOnly(), F::kCertificateUntrusted,
       "The configuration server's certificate chains to a root that only the current user trusts, not the "
       "machine: the configuration is refused. Error code 0x800B0109"},
      {"proxy offers Basic", ProxyAsks(kAuthBasic, ProxyOrigin::kConfiguredProxy, false), F::kProxyCredentials,
       server + "407: the proxy asks for credentials (it offers Basic); the signed-in user's are given only for "
                "Negotiate or NTLM"},
      {"proxy refuses the user", ProxyAsks(kAuthNegotiate | kAuthNtlm, ProxyOrigin::kConfiguredScript, true),
       F::kProxyCredentials,
       server + "407: the proxy asks for credentials (it offers Negotiate, NTLM); the signed-in user's were refused"},
      {"detected proxy", ProxyAsks(kAuthNtlm, ProxyOrigin::kDetected, false), F::kProxyCredentials,
       server + "407: the proxy asks for credentials (it offers NTLM); the signed-in user's go only to a proxy "
                "configured on this computer, and this is a proxy that automatic detection may have found"},
      {"server says 407", ProxyAsks(0, ProxyOrigin::kDirect, false), F::kProxyCredentials,
       server + "407: the proxy asks for credentials (it offers none); no proxy is configured for the request"},
      {"403", Answered(L"403"), F::kBlocked, server + "403: the network, a filter or the country blocks the server"},
      {"451", Answered(L"451"), F::kBlocked, server + "451: the network, a filter or the country blocks the server"},
      {"sign-in page", Answered(L"200", L"Text/HTML; charset=utf-8", L"\xFEFF \r\n<!DOCTYPE html><html>"),
       F::kSignInPage,
       "The configuration server's answer is an HTML page (Content-Type \"Text/HTML; charset=utf-8\"), not the "
       "document: a network's sign-in page answers in its place"},
      {"404", Answered(L"404"), F::kOtherStatus, server + "404"},
      {"302", Answered(L"302"), F::kOtherStatus, server + "302"},
      {"no status", Answered(L""), F::kOtherStatus, "The configuration server's answer has no readable HTTP status"},
      {"odd status", Answered(L"0200"), F::kOtherStatus,
       "The configuration server's answer has no readable HTTP status"},
      {"cut answer", Failed(13), F::kOther, "The configuration request failed. Error code 13"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ConfigFailure failure = ClassifyConfigFailure(c.facts);
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(ConfigFailureRecord(failure, c.facts), c.record);
  }
}

TEST(IsHtmlPage, OnlyAPageDeclaredAsHtmlThatStartsWithATag) {
  const struct {
    const wchar_t* contentType;
    const wchar_t* body;
    bool page;
  } cases[] = {
      {L"text/html", L"<html><body>Sign in</body></html>", true},
      {L"text/html; charset=UTF-8", L"  \n<!doctype html>", true},
      {L"text/html", L"{\"shortcut\": true}", false},  // the document, mislabelled by its server
      {L"application/json", L"<html></html>", false},  // not a page: a broken document (code 3)
      {L"", L"<html></html>", false},
      {L"text/html", L"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsHtmlPage(c.contentType, c.body), c.page) << c.contentType << " " << c.body;
}
