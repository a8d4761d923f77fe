// Where the stub loads DLLs from. It runs elevated, often from a Downloads
// folder that any web page or unprivileged program can drop a DLL into, so a
// DLL found there under a system DLL's name would run with administrator
// rights. The executable imports only KERNEL32 and the C runtime statically
// (both are known DLLs, always taken from the system folder); everything else
// is delay-loaded after RestrictDllSearch has run.
#pragma once

#include <windows.h>

#include <delayimp.h>

#include <string>

#include "common/result.h"

using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// The kernel's SetDefaultDllDirectories, or null on a Windows 7 without
// KB2533623.
SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories();

// Restricts every later DLL search of the process to the system folder.
// Without SetDefaultDllDirectories, or when it fails, the stub cannot protect
// itself: the error is kUnsafeDllSearch, and the run must not go on.
Status RestrictDllSearch(SetDefaultDllDirectoriesFunction setDefault);

// Ends a start on a system that can't restrict the search: the
// "We apologize!" box for kUnsafeDllSearch, and that code as exit status.
// There is no log yet; it would need a DLL loaded in the unrestricted search.
DWORD ReportUnsafeDllSearch();

// Loads from the system folder, once the search is restricted, the DLLs that
// the system's own DLLs load by name later, dependencies first. A loaded
// module is found by its name before any folder is searched, so none of them
// can be taken from the stub's folder afterwards (Wine, unlike Windows, looks
// there for the dependencies of a DLL loaded from the system folder).
void LoadSystemDllsInAdvance();

// The ERROR record for a delay-loaded DLL or function that can't be found.
std::string DescribeDelayLoadFailure(unsigned notification, const DelayLoadInfo& info);

// The delay-load helper's failure hook: the helper's own answer to a missing
// DLL or function is an exception that nothing catches, a crash (and under
// Wine a debugger that waits forever). This writes the record, shows the
// "We apologize!" box for kUnsafeDllSearch (unless user32 itself is missing)
// and ends the process with that code.
FARPROC WINAPI OnDelayLoadFailure(unsigned notification, PDelayLoadInfo info);
