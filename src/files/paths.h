// Temporary and well-known paths. Each returns an owned path of any length, or
// the system's error when it can't give the folder it needs.
#pragma once

#include <string>

#include "common/result.h"

// The user's temporary folder, ending in a backslash.
Result<std::wstring> GetTempFolder();

// A fresh name for the downloaded installer in the given folder (ending in a
// backslash), the run's own: "qmx", a unique hexadecimal number, the
// temporary-file extension, then ".exe". The system creates an empty
// placeholder under the name without ".exe", which is left in place so that
// no later call hands out the same name.
Result<std::wstring> MakeInstallerPathIn(const std::wstring& folder);

// The last name of a path.
std::wstring FileNameOf(const std::wstring& path);

// The name of the placeholder that the system made for an installer's name:
// the name without ".exe".
std::wstring PlaceholderNameOf(const std::wstring& installerPath);

// True for the error codes that mean "nothing exists under this path".
bool MeansDoesNotExist(unsigned long errorCode);
