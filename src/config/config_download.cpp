#include "config/config_download.h"

#include "build_settings.h"
#include "http/win_http_client.h"

const wchar_t* ConfigDocumentUrl() { return STUB_CONFIG_URL_W; }

Result<std::wstring> DownloadConfigFile() { return DownloadConfigFileFrom(ConfigDocumentUrl()); }

Result<std::wstring> DownloadConfigFileFrom(const std::wstring& url) {
  WinHttpClient client(url);
  client.SetStrictCertificates(true);
  if (!client.Perform(L"GET")) return MakeError(ErrorCode::kConfigDownload, client.LastError());
  return client.ResponseText();
}
