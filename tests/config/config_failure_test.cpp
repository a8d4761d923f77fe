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

ConfigRequestFacts Answered(const wchar_t* status) {
  ConfigRequestFacts facts;
  facts.status = status;
  return facts;
}

ConfigRequestFacts Refused(uint32_t error, uint64_t notBefore, uint64_t notAfter, uint32_t policyError) {
  ConfigRequestFacts facts = Failed(error);
  facts.certificate = RefusedCertificate{notBefore, notAfter, kNow, policyError};
  return facts;
}

ConfigRequestFacts ProxyAsks(uint32_t schemes, ProxyOrigin origin, bool answered) {
  ConfigRequestFacts facts = Answered(L"407");
  facts.proxySchemes = schemes;
  facts.proxyOrigin = origin;
  facts.proxyAnswered = answered;
  return facts;
}

ConfigRequestFacts PastDeadline() {
  ConfigRequestFacts facts = Failed(12002);
  facts.deadlinePassed = true;
  return facts;
}

}  // namespace

TEST(ClassifyConfigFailure, EachFailureGetsItsClassAndEvidence) {
  // The classes Wine can't show; the others are shown by the scenarios.
  using F = ConfigFailure;
  const std::string k407 = "The configuration server answered with HTTP status 407: the proxy asks for credentials ";
  const struct {
    const char* what;
    ConfigRequestFacts facts;
    ConfigFailure failure;
    std::string record;
  } cases[] = {
      {"no name", Failed(12007), F::kNameNotResolved,
       "The configuration request failed: the server's name could not be resolved. Error code 12007"},
      {"deadline", PastDeadline(), F::kNoConnection,
       "The configuration request did not end within 30 seconds; it is given up"},
      {"clock behind", Refused(12175, kNow + 30 * kDay, kNow + 400 * kDay, 0x800B0101), F::kCertificateDates,
       "The configuration server's certificate was refused: the computer's clock reads 2025-12-12 08:00:00 UTC, the "
       "certificate is valid from 2026-01-11 08:00:00 UTC to 2027-01-16 08:00:00 UTC. Error code 12175, "
       "certificate check 0x800B0101"},
      {"another name", Refused(12157, kNow - kDay, kNow + kDay, 0x800B010F), F::kCertificateUntrusted,
       "The configuration server's certificate was refused: it does not chain to a root this computer trusts, or "
       "is issued for another name (an inspecting proxy or security program may stand in between). Error code "
       "12157, certificate check 0x800B010F"},
      {"TLS without a certificate", Failed(12175), F::kCertificateUntrusted,
       "The configuration server's certificate was refused. Error code 12175"},
      {"proxy offers Basic", ProxyAsks(kAuthBasic, ProxyOrigin::kConfiguredProxy, false), F::kProxyCredentials,
       k407 + "(it offers Basic); the signed-in user's are given only for Negotiate or NTLM"},
      {"proxy refuses the user", ProxyAsks(kAuthNegotiate | kAuthNtlm, ProxyOrigin::kConfiguredScript, true),
       F::kProxyCredentials, k407 + "(it offers Negotiate, NTLM); the signed-in user's were refused"},
      {"detected proxy", ProxyAsks(kAuthNtlm, ProxyOrigin::kDetected, false), F::kProxyCredentials,
       k407 + "(it offers NTLM); the signed-in user's go only to a proxy configured on this computer, and this is "
              "a proxy that automatic detection may have found"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const ConfigFailure failure = ClassifyConfigFailure(c.facts);
    EXPECT_EQ(failure, c.failure);
    EXPECT_EQ(ConfigFailureRecord(failure, c.facts), c.record);
  }
}

TEST(IsHtmlPage, OnlyAPageDeclaredAsHtmlThatStartsWithATag) {
  EXPECT_TRUE(IsHtmlPage(L"Text/HTML; charset=UTF-8", L"\xFEFF \r\n<!doctype html>"));
  EXPECT_FALSE(IsHtmlPage(L"text/html", L"{\"shortcut\": true}"));  // the document, mislabelled by its server
  EXPECT_FALSE(IsHtmlPage(L"application/json", L"<html></html>"));  // a broken document: error 3
  EXPECT_FALSE(IsHtmlPage(L"text/html", L""));
}
