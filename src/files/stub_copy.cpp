#include "files/stub_copy.h"

#include <windows.h>

#include <vector>

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

std::wstring StubCopyPath(const std::wstring& folder) { return folder + L"qmxtl_setup.exe"; }

Status CopyRunningStub(const std::wstring& ownPath, const std::wstring& copyPath) {
  if (!CopyFileW(ownPath.c_str(), copyPath.c_str(), FALSE)) return MakeError(ErrorCode::kSideEffect, GetLastError());
  return Status();
}
