// Web pages opened as the signed-in user. The stub runs elevated: a browser
// that it started itself would run with administrator rights, and the handler
// for the address would be looked up in classes that the user's other
// programs can change. The desktop's own shell runs as the signed-in user and
// opens the page the way a click on the desktop would.
#pragma once

#include <string>

#include "common/result.h"

// Hands address to the shell of the desktop (IShellWindows' desktop window,
// its view's IShellDispatch2::ShellExecute). Needs COM on the calling thread.
// Fails with the HRESULT of the step that failed where there is no such shell
// (no desktop window registered, or interfaces the system lacks).
Status OpenThroughDesktopShell(const std::wstring& address);

// Opens address as the signed-in user through the desktop's shell; where that
// is not available, the page is not opened, and a WARNING record says so.
// The shell's answer to the page itself is not examined.
void OpenPageAsSignedInUser(const std::wstring& address);
