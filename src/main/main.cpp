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
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  RestrictDllSearchToSystemFolder();
  return static_cast<int>(RunStub(instance, commandLine));
}
