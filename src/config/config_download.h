// Fetching the configuration document from its compiled-in address.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/time_limits.h"

// The document's address (STUB_CONFIG_URL at build time).
const wchar_t* ConfigDocumentUrl();

// GETs the document and returns its text. Only a server whose certificate the
// machine trusts is believed: the document decides what the stub runs with
// administrator rights. Only a 200 answer that is no HTML page carries the
// document: a server's error page, a proxy's or a network's sign-in page is
// no configuration. A failure carries error code 1, the client's error, the
// record that says what ended the request (see config_failure.h) and the hint
// for the user that goes with it.
Result<std::wstring> DownloadConfigFile();

// The same for another address.
Result<std::wstring> DownloadConfigFileFrom(const std::wstring& url);
