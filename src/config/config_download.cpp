#include "config/config_download.h"

#include "build_settings.h"
#include "http/win_http_client.h"
#include "log/log_setup.h"

const wchar_t* ConfigDocumentUrl() { return STUB_CONFIG_URL_W; }

Result<std::wstring> DownloadConfigFile() { return DownloadConfigFileFrom(ConfigDocumentUrl()); }

Status CheckConfigStatus(const std::wstring& statusCode) {
  const bool readable = !statusCode.empty() && statusCode.size() <= 3 &&
                        statusCode.find_first_not_of(L"0123456789") == std::wstring::npos;
  if (!readable) {
    return MakeError(ErrorCode::kConfigUnavailable, 0, "The configuration server's answer has no readable HTTP status");
  }
  if (statusCode == L"200") return Status();
  std::string text = "The configuration server answered with HTTP status " +
                     std::string(statusCode.begin(), statusCode.end());
  if (statusCode == L"407") text += ": the proxy asks for credentials";
  return MakeError(ErrorCode::kConfigUnavailable, 0, text);
}

Result<std::wstring> DownloadConfigFileFrom(const std::wstring& url) {
  LOG(INFO) << "The configuration's address is " << Quoted(url);
  WinHttpClient client(url);
  client.SetStrictCertificates(true);
  client.SetDeadline(kConfigRequestDeadlineMs);
  const Status answered = client.Perform(L"GET");
  if (const auto warning = SecureProtocolsWarning(client, "the configuration request")) {
    LOG(WARNING) << *warning;
  }
  if (client.DeadlinePassed()) {
    return MakeError(ErrorCode::kConfigUnavailable, answered.error().systemError,
                     "The configuration request did not end within " + std::to_string(kConfigRequestDeadlineMs / 1000) +
                         " seconds; it is given up");
  }
  if (!answered) {
    LOG(ERROR) << "The configuration request failed. Error code " << answered.error().systemError;
    return WithCode(ErrorCode::kConfigUnavailable, answered.error());
  }
  if (Status status = CheckConfigStatus(client.StatusCode()); !status) return status.error();
  return client.ResponseText();
}
