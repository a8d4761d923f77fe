// The Internet cache that URL monikers fill while they download.
#pragma once

#include <string>

// Removes the cache's copy of what was downloaded from url, if there is one.
void ForgetCachedDownload(const std::wstring& url);
