// The progress window on its own thread, as the flow runs it.
#include "progress/progress_window.h"

#include <gtest/gtest.h>
#include <oleacc.h>
#include <wrl/client.h>

#include "common/com_apartment.h"
#include "common/unique_handle.h"
#include "resource.h"

namespace {

// This process's progress window: the other test programs, which ctest runs
// beside this one, open windows of the same title.
HWND FindProgressWindow() {
  HWND found = nullptr;
  while ((found = FindWindowExW(nullptr, found, nullptr, L"Downloading QMX Installer...")) != nullptr) {
    DWORD process = 0;
    GetWindowThreadProcessId(found, &process);
    if (process == GetCurrentProcessId()) return found;
  }
  return nullptr;
}

// Holds the window thread inside the dialog's window procedure, as a busy or
// hung thread would be, until the event in lParam is set.
constexpr UINT kStallMessage = WM_APP + 40;
constexpr wchar_t kOriginalProcedure[] = L"stub-test-original-procedure";

LRESULT CALLBACK StallingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kStallMessage) {
    WaitForSingleObject(reinterpret_cast<HANDLE>(lParam), 30000);
    return 0;
  }
  auto original = reinterpret_cast<WNDPROC>(GetPropW(window, kOriginalProcedure));
  return CallWindowProcW(original, window, message, wParam, lParam);
}

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

  // Enter changes nothing.
  SendMessageW(dialog, WM_COMMAND, IDOK, 0);
  EXPECT_TRUE(IsWindow(dialog));

  window.End();
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

TEST(ProgressWindow, AThreadStillBusyAfterTheObjectsEndFindsItsStateAlive) {
  const UniqueEvent release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE closed = nullptr;
  HWND dialog = nullptr;
  {
    ProgressWindow window;
    window.Start(GetModuleHandleW(nullptr));
    dialog = window.Dialog();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), window.ClosedByUserEvent(), GetCurrentProcess(), &closed,
                                SYNCHRONIZE, FALSE, 0));
    SetPropW(dialog, kOriginalProcedure, reinterpret_cast<HANDLE>(GetWindowLongPtrW(dialog, GWLP_WNDPROC)));
    SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(StallingProcedure));
    PostMessageW(dialog, kStallMessage, 0, reinterpret_cast<LPARAM>(release.get()));
    // Queued behind the stall: the dialog handles the user's close only after
    // the object's bounded wait has run out and it is gone.
    PostMessageW(dialog, WM_CLOSE, 0, 0);
  }
  const UniqueHandle<KernelHandleTraits> closedEvent(closed);
  ASSERT_TRUE(IsWindow(dialog)) << "the thread must still be busy when the object ends";
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(closed, 10000), WAIT_OBJECT_0) << "the close reached the event of its state";
  for (int i = 0; i < 250 && IsWindow(dialog); ++i) Sleep(20);
  EXPECT_FALSE(IsWindow(dialog));
}

TEST(ProgressWindow, EscCancelsAsTheCloseDoes) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(window.Dialog(), nullptr);
  // The modal loop hands the key to the dialog manager, which makes it IDCANCEL.
  PostMessageW(window.Dialog(), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_EQ(WaitForSingleObject(window.ClosedByUserEvent(), 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(WaitUntilGone(5000));
}

TEST(ProgressWindow, ShowsTheLineUnderTheBarAndNamesItsPartsForAScreenReader) {
  const ComApartment com;  // for the accessible objects
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(window.Dialog(), nullptr);
  ASSERT_NE(window.Line(), nullptr);
  window.SetLine(L"1.0 MB of 2.0 MB, about 5 s left", L"1.0 MB of 2.0 MB");
  window.SetPosition(42);
  wchar_t text[64] = {};
  GetWindowTextW(window.Line(), text, 64);
  EXPECT_STREQ(text, L"1.0 MB of 2.0 MB, about 5 s left");
  // The line lies below the bar, inside the window.
  RECT bar = {}, line = {}, client = {};
  GetWindowRect(window.Bar(), &bar);
  GetWindowRect(window.Line(), &line);
  GetClientRect(window.Dialog(), &client);
  MapWindowPoints(window.Dialog(), nullptr, reinterpret_cast<POINT*>(&client), 2);
  EXPECT_GE(line.top, bar.bottom);
  EXPECT_LE(line.bottom, client.bottom);

  const struct {
    HWND window;
    const wchar_t* name;
    LONG role;
    const wchar_t* value;
  } expected[] = {{window.Dialog(), L"Downloading QMX Installer...", ROLE_SYSTEM_CLIENT, nullptr},
                  {window.Bar(), L"Download progress", ROLE_SYSTEM_PROGRESSBAR, L"42%"}};
  for (const auto& e : expected) {
    Microsoft::WRL::ComPtr<IAccessible> object;
    ASSERT_EQ(AccessibleObjectFromWindow(e.window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                         reinterpret_cast<void**>(object.GetAddressOf())),
              S_OK);
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr, value = nullptr;
    VARIANT role;
    VariantInit(&role);
    EXPECT_EQ(object->get_accName(self, &name), S_OK);
    EXPECT_STREQ(name, e.name);
    EXPECT_EQ(object->get_accRole(self, &role), S_OK);
    EXPECT_EQ(role.lVal, e.role);
    if (e.value != nullptr) {
      EXPECT_EQ(object->get_accValue(self, &value), S_OK);
      EXPECT_STREQ(value, e.value);
    }
    SysFreeString(name);
    SysFreeString(value);
  }
  window.Close();
}

TEST(ProgressWindow, DropsTheTimeLeftWhenNoDataComes) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(window.Line(), nullptr);
  window.SetLine(L"1.0 MB of 2.0 MB, about 5 s left", L"1.0 MB of 2.0 MB");
  wchar_t text[64] = {};
  const ULONGLONG deadline = GetTickCount64() + ProgressWindow::kStalledLineMs + 3000;
  while (GetTickCount64() < deadline && wcscmp(text, L"1.0 MB of 2.0 MB") != 0) {
    Sleep(100);
    GetWindowTextW(window.Line(), text, 64);
  }
  EXPECT_STREQ(text, L"1.0 MB of 2.0 MB");
  window.Close();
}

// Any program on the desktop can send the window its messages: the line's
// message with a value where an address could be read shows only the line
// the run asked for.
TEST(ProgressWindow, TheLinesMessageFromElsewhereCarriesNothingItReads) {
  ProgressWindow window;
  window.Start(GetModuleHandleW(nullptr));
  ASSERT_NE(window.Line(), nullptr);
  window.SetLine(L"1.0 MB of 2.0 MB", L"1.0 MB of 2.0 MB");
  DWORD_PTR answer = 0;
  EXPECT_NE(SendMessageTimeoutW(window.Dialog(), WM_APP + 2, 0, 0x10, SMTO_BLOCK, 10000, &answer), 0);
  wchar_t text[64] = {};
  GetWindowTextW(window.Line(), text, 64);
  EXPECT_STREQ(text, L"1.0 MB of 2.0 MB");
  window.Close();
}
