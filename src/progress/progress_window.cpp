#include "progress/progress_window.h"

#include <commctrl.h>

#include "common/unique_handle.h"
#include "resource.h"

std::atomic<HWND> g_progressDialog{nullptr};
std::atomic<HWND> g_progressBar{nullptr};

namespace {

constexpr DWORD kOpenWaitMs = 10000;
// Asks the window, from another thread, to end itself: a dialog is ended from
// its own procedure, on its own thread.
constexpr UINT kEndProgressMessage = WM_APP + 1;
constexpr DWORD kCloseWaitMs = 5000;

std::atomic<bool> g_downloadEnded{false};
// Set when the window has published its handles, or when it could not open.
UniqueEvent g_windowSettled;
UniqueThread g_windowThread;

void SignalSettled() {
  if (g_windowSettled) SetEvent(g_windowSettled.get());
}

}  // namespace

DWORD WINAPI ProgressThreadProc(LPVOID instance) {
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  DialogBoxParamW(static_cast<HINSTANCE>(instance), MAKEINTRESOURCEW(IDD_PROGRESS), nullptr,
                  ProgressDialogProc, 0);
  SignalSettled();  // the window never opened, or has ended
  return 0;
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      g_progressDialog.store(window);
      g_progressBar.store(GetDlgItem(window, IDC_PROGRESS));
      SetWindowTextW(window, L"Downloading QMX Installer...");
      // The download may have ended before the handles were published.
      if (g_downloadEnded.load()) EndDialog(window, 0);
      SignalSettled();
      return TRUE;
    case kEndProgressMessage:
      EndDialog(window, 0);
      return TRUE;
    case WM_CLOSE:
      // Closing the window cancels the whole installation.
      ExitProcess(0);
    default:
      return FALSE;
  }
}

void StartProgressWindow(HINSTANCE instance) {
  g_windowSettled.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  g_windowThread.reset(CreateThread(nullptr, 0, ProgressThreadProc, instance, 0, nullptr));
  if (g_windowThread && g_windowSettled) {
    HANDLE waits[] = {g_windowSettled.get(), g_windowThread.get()};
    WaitForMultipleObjects(2, waits, FALSE, kOpenWaitMs);
  }
}

void EndProgressWindow() {
  g_downloadEnded.store(true);
  if (HWND dialog = g_progressDialog.load()) PostMessageW(dialog, kEndProgressMessage, 0, 0);
}

void CloseProgressWindow() {
  EndProgressWindow();
  if (g_windowThread) WaitForSingleObject(g_windowThread.get(), kCloseWaitMs);
}
