#include "shell/desktop_shell.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "common/com_apartment.h"
#include "files/paths.h"
#include "support/scratch_folder.h"

// The whole road through the desktop's shell (its ShellWindows, view and
// IShellDispatch2), which Wine's explorer serves too. A batch file stands in
// for the page: the desktop's shell runs it, and it leaves a marker, so no
// browser is started behind the scenarios' back.
TEST(OpenThroughDesktopShell, HandsTheFileToTheDesktopsShellWhichOpensIt) {
  const ComApartment com;
  const std::wstring base = *GetTempFolder() + L"desktop-shell-" + std::to_wstring(GetCurrentProcessId());
  const std::wstring script = base + L".bat";
  const std::wstring marker = base + L".opened";
  DeleteFileW(marker.c_str());
  {
    std::ofstream file(script.c_str());
    file << "@echo opened> \"%~dpn0.opened\"\r\n";  // beside itself, under its own name
  }

  const Status opened = OpenThroughDesktopShell(script);
  ASSERT_TRUE(opened) << "error code " << std::hex << opened.error().systemError;
  // The shell opens it in its own process, a moment later.
  for (int i = 0; i < 200 && !FileExists(marker); ++i) Sleep(100);
  EXPECT_TRUE(FileExists(marker));
  DeleteFileW(marker.c_str());
  DeleteFileW(script.c_str());
}
