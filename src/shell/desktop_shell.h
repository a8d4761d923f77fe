// Web pages opened as the signed-in user. The stub runs elevated: a browser
// that it started itself would run with administrator rights, and the handler
// for the address would be looked up in classes that the user's other
// programs can change. The desktop's own shell runs as the signed-in user and
// opens the page the way a click on the desktop would.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/result.h"
#include "common/time_limits.h"

// What a call into the shell that was given up at its deadline fails with.
constexpr uint32_t kShellCallTimedOut = 0x8001011F;  // RPC_E_TIMEOUT

// Hands address to the shell of the desktop (IShellWindows' desktop window,
// its view's IShellDispatch2::ShellExecute). Needs COM on the calling thread.
// Fails with the HRESULT of the step that failed where there is no such shell
// (no desktop window registered, or interfaces the system lacks).
Status OpenThroughDesktopShell(const std::wstring& address);

// Runs `call` (COM calls into the shell, which returns an HRESULT) on a thread
// of its own with COM of its own, cancellable, and waits for it up to limitMs.
// Past that, the call is cancelled where the system can cancel COM calls, and
// the result is kShellCallTimedOut. A call that neither answers nor can be
// cancelled is left to end with the process: nothing of the caller's is
// shared with it.
Status CallShellWithin(std::function<long()> call, uint32_t limitMs);

// Opens address as the signed-in user through the desktop's shell, within
// kPageOpeningDeadlineMs; where that is not available, or the shell does not
// answer in time, the page is not opened, and a WARNING record says so. The
// shell's answer to the page itself is not examined.
void OpenPageAsSignedInUser(const std::wstring& address);
