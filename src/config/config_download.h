// Fetching the configuration document from its compiled-in address.
#pragma once

#include <string>

// The document's address (STUB_CONFIG_URL at build time).
const wchar_t* ConfigDocumentUrl();

// GETs the document; on success stores the response text and returns true.
// Only a server whose certificate the machine trusts is believed: the
// document decides what the stub runs with administrator rights.
bool DownloadConfigFile(std::wstring& text);

// The same for another address.
bool DownloadConfigFileFrom(const std::wstring& url, std::wstring& text);
