#include "main/dll_search.h"

#include <gtest/gtest.h>

#include "main/fatal_error.h"

namespace {

BOOL WINAPI AcceptsTheSystemFolderOnly(DWORD flags) {
  if (flags == LOAD_LIBRARY_SEARCH_SYSTEM32) return TRUE;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

BOOL WINAPI Refuses(DWORD) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

void ExpectUnsafe(const Status& status, DWORD systemError) {
  ASSERT_FALSE(status);
  EXPECT_EQ(status.error().code, ErrorCode::kUnsafeDllSearch);
  EXPECT_EQ(status.error().systemError, systemError);
}

}  // namespace

TEST(RestrictDllSearch, GoesOnOnlyWithTheSearchRestrictedToTheSystemFolder) {
  EXPECT_TRUE(RestrictDllSearch(AcceptsTheSystemFolderOnly));
  // Windows 7 without KB2533623 has no SetDefaultDllDirectories.
  ExpectUnsafe(RestrictDllSearch(nullptr), ERROR_PROC_NOT_FOUND);
  ExpectUnsafe(RestrictDllSearch(Refuses), ERROR_ACCESS_DENIED);
  EXPECT_STREQ(FatalErrorMessage(ErrorCode::kUnsafeDllSearch).c_str(),
               L"This version of Windows lacks an update that the installer needs to run safely. "
               L"Please install the latest Windows updates. Error code 11");
  EXPECT_NE(FindSetDefaultDllDirectories(), nullptr);
}

TEST(DelayLoadFailure, IsHandledByTheStubWithARecordNamingWhatIsMissing) {
  // The helper's own answer would be an exception that nothing catches.
  EXPECT_EQ(__pfnDliFailureHook2, &OnDelayLoadFailure);

  DelayLoadInfo info = {};
  info.szDll = "winhttp.dll";
  info.dwLastError = ERROR_MOD_NOT_FOUND;
  EXPECT_EQ(DescribeDelayLoadFailure(dliFailLoadLib, info),
            "Unable to load winhttp.dll from the system folder. Error code 126");
  info.dwLastError = ERROR_PROC_NOT_FOUND;
  info.dlp.fImportByName = TRUE;
  info.dlp.szProcName = "WinHttpOpen";
  EXPECT_EQ(DescribeDelayLoadFailure(dliFailGetProc, info),
            "Unable to find function WinHttpOpen in winhttp.dll. Error code 127");
  info.dlp.fImportByName = FALSE;
  info.dlp.dwOrdinal = 17;
  info.szDll = nullptr;
  EXPECT_EQ(DescribeDelayLoadFailure(dliFailGetProc, info),
            "Unable to find function #17 in an unnamed DLL. Error code 127");
  // Anything else is the helper's to handle.
  EXPECT_EQ(OnDelayLoadFailure(dliNotePreLoadLibrary, &info), nullptr);
  EXPECT_EQ(OnDelayLoadFailure(dliFailLoadLib, nullptr), nullptr);
}
