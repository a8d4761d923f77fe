#include "files/stub_copy.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "files/protected_folder.h"

Result<std::wstring> OwnExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return MakeError(ErrorCode::kSideEffect, GetLastError());
    if (length < buffer.size() - 1) return std::wstring(buffer.data(), length);
    if (buffer.size() > 32768) return MakeError(ErrorCode::kSideEffect, ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(buffer.size() * 2);
  }
}

Result<std::wstring> StubCopyFolder() {
  PWSTR programFiles = nullptr;
  const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &programFiles);
  std::wstring folder = SUCCEEDED(found) && programFiles != nullptr ? programFiles : L"";
  CoTaskMemFree(programFiles);
  if (FAILED(found) || folder.empty()) return MakeError(ErrorCode::kSideEffect, static_cast<uint32_t>(found));
  if (folder.back() != L'\\') folder += L'\\';
  return EnsureAdministratorsOnlyFolder(folder + L"Tessaloom Setup");
}

std::wstring StubCopyPath(const std::wstring& folder) { return folder + L"qmxtl_setup.exe"; }

Status CopyRunningStub(const std::wstring& ownPath, const std::wstring& copyPath) {
  if (!CopyFileW(ownPath.c_str(), copyPath.c_str(), FALSE)) return MakeError(ErrorCode::kSideEffect, GetLastError());
  return Status();
}
