#include "config/config_download.h"

#include "build_settings.h"
#include "http/win_http_client.h"

const wchar_t* ConfigDocumentUrl() { return STUB_CONFIG_URL_W; }

bool DownloadConfigFile(std::wstring& text) { return DownloadConfigFileFrom(ConfigDocumentUrl(), text); }

bool DownloadConfigFileFrom(const std::wstring& url, std::wstring& text) {
  WinHttpClient client(url);
  client.SetStrictCertificates(true);
  if (!client.Perform(L"GET")) return false;
  text = client.ResponseText();
  return true;
}
