#include "main/dll_search.h"

#include <string>

#include "log/log_setup.h"
#include "main/fatal_error.h"

namespace {

// Named by the delay-load helper's descriptor; the name is ANSI text.
std::string DllName(const DelayLoadInfo& info) {
  return info.szDll != nullptr ? LogText(std::string(info.szDll)) : std::string("an unnamed DLL");
}

bool IsUser32(const char* dll) { return dll != nullptr && lstrcmpiA(dll, "user32.dll") == 0; }

}  // namespace

SetDefaultDllDirectoriesFunction FindSetDefaultDllDirectories() {
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<SetDefaultDllDirectoriesFunction>(GetProcAddress(kernel, "SetDefaultDllDirectories"));
}

Status RestrictDllSearch(SetDefaultDllDirectoriesFunction setDefault) {
  if (setDefault == nullptr) return MakeError(ErrorCode::kUnsafeDllSearch, ERROR_PROC_NOT_FOUND);
  if (!setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return MakeError(ErrorCode::kUnsafeDllSearch, GetLastError());
  return Status();
}

void LoadSystemDllsInAdvance() {
  // Dependencies before the DLLs that need them. Common controls are not
  // among them: the manifest's activation context redirects their load to
  // version 6 in the side-by-side store, and the system folder holds version 5.
  // Without these, Wine takes a crypt32.dll beside the stub when WinHTTP's
  // security provider loads it.
  static const wchar_t* const kSystemDlls[] = {L"bcrypt.dll",  L"crypt32.dll",  L"secur32.dll",
                                               L"wininet.dll", L"urlmon.dll",   L"winhttp.dll",
                                               L"dbghelp.dll", L"imagehlp.dll", L"wintrust.dll"};
  for (const wchar_t* name : kSystemDlls) LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

DWORD ReportUnsafeDllSearch() {
  // The box needs user32, a known DLL that the system always takes from its
  // own folder; the current folder at least goes out of the search.
  SetDllDirectoryW(L"");
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return static_cast<DWORD>(ErrorCode::kUnsafeDllSearch);
  const std::wstring user32 = std::wstring(folder, length) + L"\\user32.dll";
  if (LoadLibraryExW(user32.c_str(), nullptr, 0) == nullptr) return static_cast<DWORD>(ErrorCode::kUnsafeDllSearch);
  return ReportFatalError(ErrorCode::kUnsafeDllSearch);
}

std::string DescribeDelayLoadFailure(unsigned notification, const DelayLoadInfo& info) {
  if (notification == dliFailLoadLib) {
    return "Unable to load " + DllName(info) + " from the system folder. Error code " +
           std::to_string(info.dwLastError);
  }
  std::string function;
  if (!info.dlp.fImportByName) {
    function = "function #" + std::to_string(info.dlp.dwOrdinal);
  } else if (info.dlp.szProcName != nullptr) {
    function = "function " + LogText(std::string(info.dlp.szProcName));
  } else {
    function = "an unnamed function";
  }
  return "Unable to find " + function + " in " + DllName(info) + ". Error code " + std::to_string(info.dwLastError);
}

FARPROC WINAPI OnDelayLoadFailure(unsigned notification, PDelayLoadInfo info) {
  if (info == nullptr || (notification != dliFailLoadLib && notification != dliFailGetProc)) return nullptr;
  try {
    LOG(ERROR) << DescribeDelayLoadFailure(notification, *info);
  } catch (...) {
    // The box and the exit status still tell it.
  }
  // Without user32 the box would come back here.
  const DWORD status = IsUser32(info->szDll) ? static_cast<DWORD>(ErrorCode::kUnsafeDllSearch)
                                             : ReportFatalError(ErrorCode::kUnsafeDllSearch);
  ExitProcess(status);
}

// The delay-load helper calls this hook when a DLL or a function is missing.
// <delayimp.h> declares it with C linkage; MSVC's is const, MinGW-w64's not.
#if defined(_MSC_VER)
const PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
#else
PfnDliHook __pfnDliFailureHook2 = OnDelayLoadFailure;
#endif
