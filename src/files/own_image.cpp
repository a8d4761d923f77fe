#include "files/own_image.h"

#include <windows.h>
#include <winternl.h>

#include <vector>

namespace {

using SameMappingFunction = NTSTATUS(NTAPI*)(PVOID, PVOID);

struct ViewTraits {
  using Handle = void*;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle view) noexcept { UnmapViewOfFile(view); }
};

// True when the open file is the one the process's image was mapped from;
// the system compares the two mappings' files itself.
bool IsLoadedImage(HANDLE file) {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto same = ntdll != nullptr ? reinterpret_cast<SameMappingFunction>(
                                           reinterpret_cast<void*>(GetProcAddress(ntdll, "NtAreMappedFilesTheSame")))
                                     : nullptr;
  if (same == nullptr) return false;
  const UniqueHandle<KernelHandleTraits> mapping(CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping) return false;
  const UniqueHandle<ViewTraits> view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return false;
  return same(GetModuleHandleW(nullptr), view.get()) >= 0;
}

}  // namespace

Result<std::wstring> OwnExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return Failure(GetLastError());
    if (length < buffer.size() - 1) return std::wstring(buffer.data(), length);
    if (buffer.size() > 32768) return Failure(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(buffer.size() * 2);
  }
}

Result<OwnImageFile> OpenOwnImageFile() {
  auto path = OwnExecutablePath();
  if (!path) return path.error();
  OwnImageFile own;
  own.path = *path;
  own.file.reset(CreateFileW(own.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!own.file) return Failure(GetLastError());
  if (!IsLoadedImage(own.file.get())) return Failure(ERROR_FILE_INVALID);
  return own;
}
