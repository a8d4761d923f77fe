#include "files/desktop_shell.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "files/paths.h"

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

// A shell that never answers: Wine's explorer can't be made to hang here, so
// a call that blocks stands in for the call into it.
TEST(CallShellWithin, GivesUpAtTheDeadlineAndPassesAnAnswerOn) {
  EXPECT_TRUE(CallShellWithin([] { return static_cast<long>(S_OK); }, 5000));
  const Status refused = CallShellWithin([] { return static_cast<long>(E_NOINTERFACE); }, 5000);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().systemError, static_cast<uint32_t>(E_NOINTERFACE));

  // The blocked call owns its event with the thread: it may outlive the test.
  auto release = std::make_shared<UniqueEvent>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  const ULONGLONG started = GetTickCount64();
  const Status hung = CallShellWithin(
      [release] {
        WaitForSingleObject(release->get(), 60000);
        return static_cast<long>(S_OK);
      },
      500);
  const ULONGLONG took = GetTickCount64() - started;
  SetEvent(release->get());
  ASSERT_FALSE(hung);
  EXPECT_EQ(hung.error().systemError, kShellCallTimedOut);
  EXPECT_GE(took, 450u);
  EXPECT_LT(took, 5000u);  // the deadline and the grace for a cancellation
}
