#include <windows.h>

#include "main/dll_search.h"
#include "main/stub.h"

// The names differ from those of the declaration in the Windows headers.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  // First of all, before anything loads a DLL that is not a known DLL.
  if (const Status restricted = RestrictDllSearch(FindSetDefaultDllDirectories()); !restricted) {
    return static_cast<int>(ReportUnsafeDllSearch());
  }
  LoadSystemDllsInAdvance();
  return static_cast<int>(RunStub(instance, commandLine));
}
