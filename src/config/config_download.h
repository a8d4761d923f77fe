// Fetching the configuration document from its compiled-in address.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"

// The whole configuration request, its attempts and the proxy fallback
// together, ends within this time: the document is a few hundred bytes, no
// window is shown meanwhile, and the stub holds its single-instance mutex.
constexpr uint32_t kConfigRequestDeadlineMs = 30000;

// The document's address (STUB_CONFIG_URL at build time).
const wchar_t* ConfigDocumentUrl();

// GETs the document and returns its text. Only a server whose certificate the
// machine trusts is believed: the document decides what the stub runs with
// administrator rights. A failure carries error code 1 and the client's error;
// a request given up at its deadline, a text that says so.
Result<std::wstring> DownloadConfigFile();

// Only a 200 answer carries the document: a server's error page or a proxy's
// is no configuration. Another status is error code 1 with a text naming it.
Status CheckConfigStatus(const std::wstring& statusCode);

// The same for another address.
Result<std::wstring> DownloadConfigFileFrom(const std::wstring& url);
