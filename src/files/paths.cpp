#include "files/paths.h"

#include <windows.h>

#include <vector>

Result<std::wstring> GetTempFolder() {
  // The folder can change between the two calls; ask until it fits.
  DWORD size = MAX_PATH + 1;
  for (int tries = 0; tries < 4; ++tries) {
    std::vector<wchar_t> buffer(size + 1, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return Failure(GetLastError());
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    size = length;
  }
  return Failure(ERROR_INSUFFICIENT_BUFFER);
}

Result<std::wstring> MakeInstallerPathIn(const std::wstring& folder) {
  // The name is the folder plus at most 3 + 4 + 4 characters.
  std::vector<wchar_t> name(folder.size() + MAX_PATH, L'\0');
  if (GetTempFileNameW(folder.c_str(), L"qmx", 0, name.data()) == 0) return Failure(GetLastError());
  return std::wstring(name.data()) + L".exe";
}

std::wstring FileNameOf(const std::wstring& path) {
  const size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

std::wstring PlaceholderNameOf(const std::wstring& installerPath) {
  static const wchar_t kExtension[] = L".exe";
  std::wstring name = FileNameOf(installerPath);
  const size_t extension = sizeof(kExtension) / sizeof(kExtension[0]) - 1;
  if (name.size() <= extension || name.compare(name.size() - extension, extension, kExtension) != 0) return name;
  return name.substr(0, name.size() - extension);
}

bool MeansDoesNotExist(unsigned long errorCode) {
  switch (errorCode) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME: return true;
    default: return false;
  }
}
