#include "progress/progress_window.h"

#include <commctrl.h>
#include <oleacc.h>
#include <wrl/client.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common/com_apartment.h"
#include "common/message_wait.h"
#include "common/time_limits.h"
#include "progress/bar_accessible.h"
#include "resource.h"
#include "text/ui_text.h"

namespace {

// Asks the window, from another thread, to end itself: a dialog is ended from
// its own procedure, on its own thread.
constexpr UINT kEndProgressMessage = WM_APP + 1;
// Shows the line that SetLine left in the window's state. The message carries
// nothing: any program on the desktop can send it.
constexpr UINT kSetLineMessage = WM_APP + 2;
constexpr UINT_PTR kStallTimer = 1;
constexpr UINT kStallCheckMs = 1000;

// The line under the bar, in dialog units: below the bar (7, 7, 266 x 21),
// and the window grows by its height and a margin.
constexpr RECT kLineArea = {7, 31, 7 + 266, 31 + 9};
constexpr LONG kLineGrowth = 12;

// Active Accessibility's annotation of a live region, and its polite setting
// (a screen reader reads the change when it has finished what it says).
constexpr GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr GUID kAccPropServices = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID kIAccPropServices = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
constexpr LONG kPolite = 1;
// EVENT_OBJECT_LIVEREGIONCHANGED, from Windows 8 on; earlier systems ignore it.
constexpr DWORD kLiveRegionChanged = 0x8019;

// The dialog template, mirrored for a right-to-left language: the extended
// template's extended style is its third field.
std::vector<BYTE> DialogTemplate(HINSTANCE instance, bool rightToLeft) {
  const HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDD_PROGRESS), MAKEINTRESOURCEW(5));
  const HGLOBAL loaded = found != nullptr ? LoadResource(instance, found) : nullptr;
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  const DWORD size = found != nullptr ? SizeofResource(instance, found) : 0;
  if (data == nullptr || size < 12) return {};
  std::vector<BYTE> copy(static_cast<const BYTE*>(data), static_cast<const BYTE*>(data) + size);
  if (rightToLeft) {
    DWORD exStyle = 0;
    std::memcpy(&exStyle, copy.data() + 8, sizeof(exStyle));
    exStyle |= WS_EX_LAYOUTRTL;
    std::memcpy(copy.data() + 8, &exStyle, sizeof(exStyle));
  }
  return copy;
}

void MarkPoliteLiveRegion(HWND line) {
  Microsoft::WRL::ComPtr<IAccPropServices> services;
  if (FAILED(CoCreateInstance(kAccPropServices, nullptr, CLSCTX_INPROC_SERVER, kIAccPropServices,
                              reinterpret_cast<void**>(services.GetAddressOf())))) {
    return;  // older systems have no live regions; the line is still read when focused
  }
  VARIANT polite;
  VariantInit(&polite);
  polite.vt = VT_I4;
  polite.lVal = kPolite;
  services->SetHwndProp(line, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSettingProperty, polite);
}

void ForgetLiveRegion(HWND line) {
  Microsoft::WRL::ComPtr<IAccPropServices> services;
  if (FAILED(CoCreateInstance(kAccPropServices, nullptr, CLSCTX_INPROC_SERVER, kIAccPropServices,
                              reinterpret_cast<void**>(services.GetAddressOf())))) {
    return;
  }
  MSAAPROPID property = kLiveSettingProperty;
  services->ClearHwndProps(line, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &property, 1);
}

}  // namespace

struct ProgressWindow::State {
  State()
      : settled(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        closedByUser(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  void OnOpened(HWND dialog);
  void AddLine(HWND dialog);
  void ShowPendingLine();
  void CheckStall();
  void SignalSettled() const {
    if (settled) SetEvent(settled.get());
  }

  HINSTANCE instance = nullptr;
  std::atomic<HWND> dialog{nullptr};
  std::atomic<HWND> bar{nullptr};
  std::atomic<HWND> line{nullptr};
  std::atomic<bool> downloadEnded{false};
  // The line SetLine asks for, until the window thread shows it.
  std::mutex pendingLock;
  std::wstring pendingText;
  std::wstring pendingWhenStalled;
  // The window thread's own: the line's text for a stall, and since when the line stands.
  std::wstring whenStalled;
  ULONGLONG lineShownAt = 0;
  bool stallShown = false;
  UniqueEvent settled;  // the handles are published, or the window could not open
  UniqueEvent closedByUser;
};

ProgressWindow::ProgressWindow(Visibility visibility) : visibility_(visibility), state_(std::make_shared<State>()) {}

ProgressWindow::~ProgressWindow() { Close(); }

DWORD WINAPI ProgressWindow::ProgressThreadProc(LPVOID state) {
  // The thread's own reference, handed over by Start.
  const std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(state));
  State* self = held->get();
  // For the accessibility annotations of the window's line.
  const ComApartment com;
  INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);
  const std::vector<BYTE> dialog = DialogTemplate(self->instance, UiIsRightToLeft());
  if (!dialog.empty()) {
    DialogBoxIndirectParamW(self->instance, reinterpret_cast<LPCDLGTEMPLATEW>(dialog.data()), nullptr,
                            ProgressDialogProc, reinterpret_cast<LPARAM>(self));
  }
  self->SignalSettled();  // the window never opened, or has ended
  return 0;
}

INT_PTR CALLBACK ProgressWindow::ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrW(dialog, DWLP_USER, lParam);
      reinterpret_cast<State*>(lParam)->OnOpened(dialog);
      return TRUE;
    case kEndProgressMessage: EndDialog(dialog, 0); return TRUE;
    case kSetLineMessage:
    case WM_TIMER: {
      auto* self = reinterpret_cast<State*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (self == nullptr) return FALSE;
      if (message == WM_TIMER) {
        self->CheckStall();
      } else {
        self->ShowPendingLine();
      }
      return TRUE;
    }
    case WM_COMMAND:
      // Esc cancels as closing does; Enter does nothing.
      if (LOWORD(wParam) != IDCANCEL) return FALSE;
      [[fallthrough]];
    case WM_CLOSE: {
      // Closing the window cancels the whole installation: the main thread is
      // told, and ends the run.
      auto* self = reinterpret_cast<State*>(GetWindowLongPtrW(dialog, DWLP_USER));
      if (self != nullptr) SetEvent(self->closedByUser.get());
      EndDialog(dialog, 0);
      return TRUE;
    }
    case WM_DESTROY: ForgetLiveRegion(GetDlgItem(dialog, IDC_PROGRESS_LINE)); return FALSE;
    default: return FALSE;
  }
}

void ProgressWindow::State::OnOpened(HWND dialog) {
  HWND bar = GetDlgItem(dialog, IDC_PROGRESS);
  // The window's and the bar's texts are their names for a screen reader; a
  // window without a title bar has its text all the same.
  SetWindowTextW(dialog, UiText(IDS_PROGRESS_CAPTION).c_str());
  if (bar != nullptr) {
    SetWindowTextW(bar, UiText(IDS_PROGRESS_BAR_NAME).c_str());
    MakeBarAccessible(bar);
  }
  AddLine(dialog);
  this->dialog.store(dialog);
  this->bar.store(bar);
  // The download may have ended before the handles were published.
  if (downloadEnded.load()) EndDialog(dialog, 0);
  SignalSettled();
}

void ProgressWindow::State::AddLine(HWND dialog) {
  RECT area = kLineArea;
  RECT growth = {0, 0, 0, kLineGrowth};
  MapDialogRect(dialog, &area);
  MapDialogRect(dialog, &growth);
  HWND created = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS,
                                 area.left, area.top, area.right - area.left, area.bottom - area.top, dialog,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_PROGRESS_LINE)), instance, nullptr);
  if (created == nullptr) return;
  SendMessageW(created, WM_SETFONT, SendMessageW(dialog, WM_GETFONT, 0, 0), FALSE);
  MarkPoliteLiveRegion(created);
  SetTimer(dialog, kStallTimer, kStallCheckMs, nullptr);
  // Taller by the line, and still centred where the template put it.
  RECT frame = {};
  GetWindowRect(dialog, &frame);
  SetWindowPos(dialog, nullptr, frame.left, frame.top - growth.bottom / 2, frame.right - frame.left,
               frame.bottom - frame.top + growth.bottom, SWP_NOZORDER | SWP_NOACTIVATE);
  line.store(created);
}

void ProgressWindow::Start(HINSTANCE instance) {
  if (visibility_ == kHidden || thread_) return;
  state_->instance = instance;
  auto reference = std::make_unique<std::shared_ptr<State>>(state_);
  thread_.reset(CreateThread(nullptr, 0, ProgressThreadProc, reference.get(), 0, nullptr));
  if (!thread_) return;
  static_cast<void>(reference.release());  // the thread owns it now
  if (state_->settled) {
    HANDLE waits[] = {state_->settled.get(), thread_.get()};
    WaitDispatching(2, waits, kProgressWindowOpenWaitMs);
  }
}

void ProgressWindow::End() {
  state_->downloadEnded.store(true);
  if (HWND dialog = state_->dialog.load()) PostMessageW(dialog, kEndProgressMessage, 0, 0);
}

void ProgressWindow::Close() {
  End();
  if (thread_) WaitDispatching(thread_.get(), kProgressWindowCloseWaitMs);
}

void ProgressWindow::SetPosition(int percent) const {
  if (HWND bar = state_->bar.load()) SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
}

void ProgressWindow::State::ShowPendingLine() {
  std::wstring text;
  {
    const std::lock_guard<std::mutex> hold(pendingLock);
    text = pendingText;
    whenStalled = pendingWhenStalled;
  }
  SetWindowTextW(line.load(), text.c_str());
  lineShownAt = GetTickCount64();
  stallShown = false;
}

void ProgressWindow::State::CheckStall() {
  if (stallShown || whenStalled.empty() || GetTickCount64() - lineShownAt < kStalledLineMs) return;
  SetWindowTextW(line.load(), whenStalled.c_str());
  stallShown = true;
}

void ProgressWindow::SetLine(const std::wstring& text, const std::wstring& whenStalled) {
  HWND line = state_->line.load();
  HWND dialog = state_->dialog.load();
  if (line == nullptr || dialog == nullptr) return;
  {
    const std::lock_guard<std::mutex> hold(state_->pendingLock);
    state_->pendingText = text;
    state_->pendingWhenStalled = whenStalled;
  }
  // A cross-thread send: the window thread shows the line and keeps the rest.
  SendMessageW(dialog, kSetLineMessage, 0, 0);
  const ULONGLONG now = GetTickCount64();
  if (!announced_ || now - announcedAt_ >= kAnnounceIntervalMs) {
    NotifyWinEvent(kLiveRegionChanged, line, OBJID_CLIENT, CHILDID_SELF);
    announced_ = true;
    announcedAt_ = now;
  }
}

bool ProgressWindow::ClosedByUser() const {
  return state_->closedByUser && WaitForSingleObject(state_->closedByUser.get(), 0) == WAIT_OBJECT_0;
}

HANDLE ProgressWindow::ClosedByUserEvent() const { return state_->closedByUser.get(); }
HWND ProgressWindow::Dialog() const { return state_->dialog.load(); }
HWND ProgressWindow::Bar() const { return state_->bar.load(); }
HWND ProgressWindow::Line() const { return state_->line.load(); }
