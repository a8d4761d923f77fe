// The Internet cache that URL monikers fill while they download.
#pragma once

#include <string>

// Removes the cache's copy of what was downloaded from url, if there is one.
// The cache and its index are the signed-in user's files: call it while
// impersonating that user, or an index a program of the user rewrote could
// name any file for the elevated stub to delete.
void ForgetCachedDownload(const std::wstring& url);
