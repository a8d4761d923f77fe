// The user's log file, "<roaming application data>\Pexmira\QMXT.log", opened
// for appending as the signed-in user and only where neither the folder nor
// the file is a link to somewhere else.
#pragma once

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "files/signed_in_user.h"

// Opens (or makes) the log below the user's application-data folder as that
// folder resolves. A "Pexmira" folder or "QMXT.log" that leads elsewhere, or
// a log file with more than one link, gives no log: the error says which
// (files/held_folder.h) and nothing has been made or written there.
Result<UniqueFile> OpenUserLogFile(const SignedInUser& user);

// The same below a given application-data folder.
Result<UniqueFile> OpenLogFileBelow(const std::wstring& applicationData, const SignedInUser& user);
