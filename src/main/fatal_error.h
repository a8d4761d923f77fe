// The end of a run before the installer's outcome is known: a "We apologize!"
// box with the error's text, and its code as the stub's exit status.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "text/language.h"

// The text of the box for an error code, in a language of the string table
// (U.S. English where that language lacks it); empty for kNone and
// kClosedByUser, which show no box. A hint (Error::hint) adds a line under it
// that says what the user can do; the first line stays the code's own.
std::wstring FatalErrorMessage(ErrorCode code, LanguageId language = kEnglishUs, uint32_t hint = 0);

// Shows the box (no owner, MB_OK | MB_ICONERROR, mirrored for a right-to-left
// language) in the user's language and returns the exit status. The failing
// step has written its ERROR record already. A run that the user ended by
// closing the progress window ends with 0 and no box; an unattended run
// (see unattended.h) shows none either.
DWORD ReportFatalError(ErrorCode code, uint32_t hint = 0);
