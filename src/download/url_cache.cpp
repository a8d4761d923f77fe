#include "download/url_cache.h"

// WinINet's header clashes with WinHTTP's, so it lives in a file of its own.
#include <windows.h>
#include <wininet.h>

void ForgetCachedDownload(const std::wstring& url) { DeleteUrlCacheEntryW(url.c_str()); }
