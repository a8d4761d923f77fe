// The progress window on its own thread, as the flow runs it. Each test runs
// in a process of its own, so the window's one-time handles start out null.
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
  StartProgressWindow(GetModuleHandleW(nullptr));
  HWND dialog = g_progressDialog.load();
  ASSERT_NE(dialog, nullptr) << "the handles are published before the download starts";
  EXPECT_EQ(g_progressBar.load(), GetDlgItem(dialog, IDC_PROGRESS));
  EXPECT_EQ(FindProgressWindow(), dialog);

  wchar_t className[64] = {};
  GetClassNameW(g_progressBar.load(), className, 64);
  EXPECT_STREQ(className, L"msctls_progress32");
  const LONG style = GetWindowLongW(dialog, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_BORDER) << "a thin border and no title bar";

  // Enter and Esc change nothing.
  SendMessageW(dialog, WM_COMMAND, IDOK, 0);
  SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
  EXPECT_TRUE(IsWindow(dialog));

  CallbackHandler handler;
  handler.OnProgress(100, 100, BINDSTATUS_ENDDOWNLOADDATA, nullptr);
  EXPECT_TRUE(WaitUntilGone(5000));
}

TEST(ProgressWindow, ADownloadThatEndedBeforeTheWindowOpenedStillEndsIt) {
  EndProgressWindow();  // the end comes first
  StartProgressWindow(GetModuleHandleW(nullptr));
  EXPECT_TRUE(WaitUntilGone(5000));
}

TEST(ProgressWindow, CloseWaitsUntilTheWindowIsGone) {
  StartProgressWindow(GetModuleHandleW(nullptr));
  ASSERT_NE(FindProgressWindow(), nullptr);
  CloseProgressWindow();
  EXPECT_EQ(FindProgressWindow(), nullptr);
}
