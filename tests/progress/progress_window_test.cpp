// The progress window on its own thread, as the flow runs it.
#include "progress/progress_window.h"

#include <gtest/gtest.h>

#include "progress/callback_handler.h"
#include "resource.h"

namespace {

HWND FindProgressWindow() { return FindWindowW(nullptr, L"Downloading QMX Installer..."); }

bool WaitUntilGone(DWORD ms) {
  for (DWORD waited = 0; waited < ms; waited += 20) {
    if (FindProgressWindow() == nullptr) return true;
    Sleep(20);
  }
  return false;
}

}  // namespace

TEST(ProgressWindow, OpensWithItsTitleAndBarAndEndsAtTheDownloadsEnd) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  HWND dialog = window.Dialog();
  ASSERT_NE(dialog, nullptr) << "the handles are published before the download starts";
  EXPECT_EQ(window.Bar(), GetDlgItem(dialog, IDC_PROGRESS));
  EXPECT_EQ(FindProgressWindow(), dialog);

  wchar_t className[64] = {};
  GetClassNameW(window.Bar(), className, 64);
  EXPECT_STREQ(className, L"msctls_progress32");
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_BORDER) << "a thin border and no title bar";

  // Enter and Esc change nothing.
  SendMessageW(dialog, WM_COMMAND, IDOK, 0);
  SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(IsWindow(dialog));

  CallbackHandler handler(&window);
  handler.OnProgress(100, 100, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  EXPECT_TRUE(WaitUntilGone(5000));
  EXPECT_FALSE(window.ClosedByUser());
}

TEST(ProgressWindow, ADownloadThatEndedBeforeTheWindowOpenedStillEndsIt) {
  ProgressWindow window;
  window.End();  // the end comes first
  window.Start(GetModuleHandleW(nullptr));
  EXPECT_TRUE(WaitUntilGone(5000));
}

TEST(ProgressWindow, CloseWaitsUntilTheWindowIsGone) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(FindProgressWindow(), nullptr);
  window.Close();
  EXPECT_EQ(FindProgressWindow(), nullptr);
}

TEST(ProgressWindow, ClosingItByTheUserEndsItAndTellsTheRun) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(window.Dialog(), nullptr);
  PostMessageW(window.Dialog(), WM_CLOSE, 0, 0);
  EXPECT_EQ(WaitForSingleObject(window.ClosedByUserEvent(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(window.ClosedByUser());
  EXPECT_TRUE(WaitUntilGone(5000)) << "the process goes on; the window is gone";
}
