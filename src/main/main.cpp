#include <windows.h>

#include "main/stub.h"

namespace {

// The stub runs elevated, often from a Downloads folder that any web page can
// drop a DLL into. Before anything loads a DLL that is not one of the system's
// known DLLs (WinHTTP, URL monikers, common controls and the cryptography
// provider are delay-loaded for this), restrict the search to the system
// folder.
void RestrictDllSearchToSystemFolder() {
  using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);
  const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories"));
  if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    // Older systems: at least take the current folder out of the search.
    SetDllDirectoryW(L"");
  }
  // A DLL that the system's own DLLs load by name later (the cryptography
  // behind HTTPS, say) is found among the loaded modules first, so load those
  // from the system folder now, dependencies before the DLLs that need them.
  // (Wine, unlike Windows, searches the program's folder for them otherwise.)
  static const wchar_t* const kSystemDlls[] = {L"bcrypt.dll", L"crypt32.dll", L"secur32.dll",
                                               L"wininet.dll", L"urlmon.dll", L"winhttp.dll",
                                               L"dbghelp.dll", L"imagehlp.dll", L"wintrust.dll"};
  for (const wchar_t* name : kSystemDlls) LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

}  // namespace

// The names differ from those of the declaration in the Windows headers.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  RestrictDllSearchToSystemFolder();
  return static_cast<int>(RunStub(instance, commandLine));
}
