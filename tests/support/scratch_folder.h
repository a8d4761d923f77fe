// Scratch files and folders under the temporary folder for the tests that
// open, link and delete files.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "files/paths.h"

// True when something exists under the path, or when its attributes can't be
// read for a reason other than its absence (access denied, sharing violation).
inline bool FileExists(const std::wstring& path) {
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  return !MeansDoesNotExist(GetLastError());
}

namespace scratch_folder {

inline void WriteSomething(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "x", 1, &written, nullptr);
  CloseHandle(file);
}

// A scratch folder under the temporary folder, removed with what is in it.
struct Scratch {
  std::wstring path;
  explicit Scratch(const wchar_t* name) : path(*GetTempFolder() + name + L"\\") {
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~Scratch() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!DeleteFileW((path + name).c_str())) RemoveDirectoryW((path + name).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
  }
};

}  // namespace scratch_folder
