#include "progress/progress_window.h"

#include <commctrl.h>

#include "resource.h"

namespace {

constexpr DWORD kOpenWaitMs = 10000;
// Asks the window, from another thread, to end itself: a dialog is ended from
// its own procedure, on its own thread.
constexpr UINT kEndProgressMessage = WM_APP + 1;
constexpr DWORD kCloseWaitMs = 5000;

}  // namespace

ProgressWindow::ProgressWindow()
    : settled_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      closedByUser_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

ProgressWindow::~ProgressWindow() { Close(); }

DWORD WINAPI ProgressWindow::ProgressThreadProc(LPVOID window) {
  auto* self = static_cast<ProgressWindow*>(window);
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  DialogBoxParamW(self->instance_, MAKEINTRESOURCEW(IDD_PROGRESS), nullptr, ProgressDialogProc,
                  reinterpret_cast<LPARAM>(self));
  self->SignalSettled();  // the window never opened, or has ended
  return 0;
}

INT_PTR CALLBACK ProgressWindow::ProgressDialogProc(HWND dialog, UINT message, WPARAM, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      reinterpret_cast<ProgressWindow*>(lParam)->OnOpened(dialog);
      return TRUE;
    case kEndProgressMessage:
      EndDialog(dialog, 0);
      return TRUE;
    case WM_CLOSE: {
      // Closing the window cancels the whole installation: the main thread is
      // told, and ends the run.
      auto* self = reinterpret_cast<ProgressWindow*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (self != nullptr) SetEvent(self->closedByUser_.get());
      EndDialog(dialog, 0);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

void ProgressWindow::OnOpened(HWND dialog) {
  dialog_.store(dialog);
  bar_.store(GetDlgItem(dialog, IDC_PROGRESS));
  SetWindowTextW(dialog, L"Downloading QMX Installer...");
  // The download may have ended before the handles were published.
  if (downloadEnded_.load()) EndDialog(dialog, 0);
  SignalSettled();
}

void ProgressWindow::SignalSettled() const {
  if (settled_) SetEvent(settled_.get());
}

void ProgressWindow::Start(HINSTANCE instance) {
  instance_ = instance;
  thread_.reset(CreateThread(nullptr, 0, ProgressThreadProc, this, 0, nullptr));
  if (thread_ && settled_) {
    HANDLE waits[] = {settled_.get(), thread_.get()};
    WaitForMultipleObjects(2, waits, FALSE, kOpenWaitMs);
  }
}

void ProgressWindow::End() {
  downloadEnded_.store(true);
  if (HWND dialog = dialog_.load()) PostMessageW(dialog, kEndProgressMessage, 0, 0);
}

void ProgressWindow::Close() {
  End();
  if (thread_) WaitForSingleObject(thread_.get(), kCloseWaitMs);
}

void ProgressWindow::SetPosition(int percent) const {
  if (HWND bar = bar_.load()) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

bool ProgressWindow::ClosedByUser() const {
  return closedByUser_ && WaitForSingleObject(closedByUser_.get(), 0) == WAIT_OBJECT_0;
}
