// The user's log file, "<roaming application data>\Pexmira\QMXT.log", opened
// for appending as the signed-in user and only where neither the folder nor
// the file is a link to somewhere else.
#pragma once

#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "files/signed_in_user.h"

// A log that has grown past this at the start of a run is moved aside to
// "QMXT.log.1", replacing an older one, so that a stub run every day for
// years keeps two bounded files.
constexpr uint64_t kMaxLogBytes = uint64_t{1024} * 1024;
extern const wchar_t kLogFileName[];
extern const wchar_t kOldLogFileName[];

bool LogNeedsMovingAside(uint64_t size);

enum class LogRotation { kNone, kMovedAside, kNotMoved };

struct UserLog {
  UniqueFile file;
  std::wstring folder;  // the log's folder, as the log shows paths
  LogRotation rotation = LogRotation::kNone;
  uint64_t previousBytes = 0;  // the size of the log that was (or could not be) moved aside
  uint32_t rotationError = 0;  // why it could not be
  uint32_t openError = 0;      // why no log file could be kept (folder is then empty); 0 when one is
};

// Opens (or makes) the log below the user's application-data folder as that
// folder resolves, moving an oversized one aside first. A "Pexmira" folder or
// "QMXT.log" that leads elsewhere, or a log file with more than one link,
// gives no log: the error says which (files/held_folder.h) and nothing has
// been made, moved or written there.
Result<UserLog> OpenUserLogFile(const SignedInUser& user);

// The same below a given application-data folder.
Result<UserLog> OpenLogFileBelow(const std::wstring& applicationData, const SignedInUser& user);
