#include "files/paths.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

std::wstring GetTempFolder() {
  // The folder can change between the two calls; ask until it fits.
  DWORD size = MAX_PATH + 1;
  for (int tries = 0; tries < 4; ++tries) {
    std::vector<wchar_t> buffer(size + 1, L'\0');
    const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return std::wstring();
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    size = length;
  }
  return std::wstring();
}

std::wstring MakeTempInstallerPath() {
  const std::wstring folder = GetTempFolder();
  if (folder.empty()) return std::wstring();
  // The name is the folder plus at most 3 + 4 + 4 characters.
  std::vector<wchar_t> name(folder.size() + MAX_PATH, L'\0');
  if (GetTempFileNameW(folder.c_str(), L"qmx", 0, name.data()) == 0) return std::wstring();
  return std::wstring(name.data()) + L".exe";
}

std::wstring GetShortcutPath() {
  // The known-folder query has no length limit, unlike the MAX_PATH buffers of
  // the older special-folder calls.
  PWSTR folder = nullptr;
  std::wstring path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Desktop, KF_FLAG_DONT_VERIFY, nullptr, &folder)) &&
      folder != nullptr && folder[0] != L'\0') {
    path = folder;
    if (path.back() != L'\\') path += L'\\';
    path += L"Continue installation.lnk";
  }
  CoTaskMemFree(folder);
  return path;
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
    case ERROR_BAD_PATHNAME:
      return true;
    default:
      return false;
  }
}

bool FileExists(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  return !MeansDoesNotExist(GetLastError());
}
