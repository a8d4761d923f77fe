// Temporary and well-known paths. Each returns an owned path of any length, or
// an empty string when the system can't give the folder it needs.
#pragma once

#include <string>

// The user's temporary folder, ending in a backslash.
std::wstring GetTempFolder();

// A fresh name for the downloaded installer: the temporary folder, "qmx", a
// unique hexadecimal number, the temporary-file extension, then ".exe". The
// system creates an empty placeholder under the name without ".exe", which is
// left in place so that no later call hands out the same name.
std::wstring MakeTempInstallerPath();

// The current user's desktop folder followed by "\Continue installation.lnk".
std::wstring GetShortcutPath();

// True when something exists under the path, or when its attributes can't be
// read for a reason other than its absence (access denied, sharing violation).
bool FileExists(const std::wstring& path);

// True for the error codes that mean "nothing exists under this path".
bool MeansDoesNotExist(unsigned long errorCode);
