#include "config/config_download.h"

#include "build_settings.h"
#include "config/config_failure.h"
#include "http/win_http_client.h"
#include "log/log_setup.h"
#include "resource.h"

namespace {

uint32_t HintFor(ConfigFailure failure) {
  switch (failure) {
    case ConfigFailure::kNameNotResolved:
    case ConfigFailure::kNoConnection: return IDS_HINT_CONNECTION;
    case ConfigFailure::kProxyCredentials: return IDS_HINT_PROXY;
    case ConfigFailure::kCertificateDates: return IDS_HINT_CLOCK;
    case ConfigFailure::kCertificateUntrusted: return IDS_HINT_INSPECTION;
    case ConfigFailure::kBlocked: return IDS_HINT_BLOCKED;
    case ConfigFailure::kSignInPage: return IDS_HINT_SIGN_IN;
    case ConfigFailure::kOtherStatus:
    case ConfigFailure::kOther: break;
  }
  return IDS_HINT_LATER;
}

ConfigRequestFacts FactsOf(const WinHttpClient& client, const Status& answered) {
  ConfigRequestFacts facts;
  facts.error = answered ? 0 : answered.error().systemError;
  facts.deadlinePassed = client.DeadlinePassed();
  facts.userTrustOnly = client.RefusedForUserTrustOnly();
  facts.certificate = client.RefusedServerCertificate();
  if (answered) {
    facts.status = client.StatusCode();
    facts.contentType = client.ContentType();
    facts.body = client.ResponseText();
  }
  facts.proxySchemes = client.ProxySchemesOffered();
  facts.proxyAnswered = client.ProxyCredentialsGiven();
  facts.proxyOrigin = client.ProxyOriginUsed();
  return facts;
}

}  // namespace

const wchar_t* ConfigDocumentUrl() { return STUB_CONFIG_URL_W; }

Result<std::wstring> DownloadConfigFile() { return DownloadConfigFileFrom(ConfigDocumentUrl()); }

Result<std::wstring> DownloadConfigFileFrom(const std::wstring& url) {
  LOG(INFO) << "The configuration's address is " << Quoted(url);
  WinHttpClient client(url);
  client.SetStrictCertificates(true);
  client.SetDeadline(kConfigRequestDeadlineMs);
  const Status answered = client.Perform(L"GET");
  if (const auto warning = SecureProtocolsWarning(client, "the configuration request")) {
    LOG(WARNING) << *warning;
  }
  const ConfigRequestFacts facts = FactsOf(client, answered);
  if (answered && facts.status == L"200" && !IsHtmlPage(facts.contentType, facts.body)) {
    return client.ResponseText();
  }
  const ConfigFailure failure = ClassifyConfigFailure(facts);
  Error error = MakeError(ErrorCode::kConfigUnavailable, facts.error);
  error.hint = HintFor(failure);
  error.text = ConfigFailureRecord(failure, facts);
  return error;
}
