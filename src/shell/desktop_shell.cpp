#include "shell/desktop_shell.h"

#include <windows.h>

#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "common/message_wait.h"
#include "common/unique_handle.h"
#include "log/log_setup.h"

using Microsoft::WRL::ComPtr;

namespace {

Error ShellError(HRESULT result) { return Failure(static_cast<uint32_t>(result)); }

// A successful answer without the object asked for (FindWindowSW's S_FALSE).
constexpr HRESULT kNoObject = E_NOINTERFACE;

// Owns a VARIANT; cleared on every path.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  explicit Variant(long number) : Variant() {
    value_.vt = VT_I4;
    value_.lVal = number;
  }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  VARIANT* get() { return &value_; }
  const VARIANT& value() const { return value_; }

 private:
  VARIANT value_;
};

// Owns a BSTR.
class Bstr {
 public:
  explicit Bstr(const std::wstring& text) : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// The desktop's folder view, as the shell's automation object.
Result<ComPtr<IShellDispatch2>> FindDesktopShellDispatch() {
  ComPtr<IShellWindows> windows;
  HRESULT result = CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                    reinterpret_cast<void**>(windows.GetAddressOf()));
  if (FAILED(result)) return ShellError(result);

  Variant desktop(CSIDL_DESKTOP);
  Variant none;
  long window = 0;
  ComPtr<IDispatch> desktopDispatch;
  result = windows->FindWindowSW(desktop.get(), none.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                                 desktopDispatch.GetAddressOf());
  if (FAILED(result)) return ShellError(result);
  if (desktopDispatch == nullptr) return ShellError(kNoObject);

  ComPtr<IServiceProvider> services;
  if (result = desktopDispatch.As(&services); FAILED(result)) return ShellError(result);
  ComPtr<IShellBrowser> browser;
  result = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                  reinterpret_cast<void**>(browser.GetAddressOf()));
  if (FAILED(result)) return ShellError(result);
  ComPtr<IShellView> view;
  if (result = browser->QueryActiveShellView(view.GetAddressOf()); FAILED(result)) return ShellError(result);
  if (view == nullptr) return ShellError(kNoObject);

  ComPtr<IDispatch> background;
  result = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, reinterpret_cast<void**>(background.GetAddressOf()));
  if (FAILED(result)) return ShellError(result);
  ComPtr<IShellFolderViewDual> folderView;
  if (result = background.As(&folderView); FAILED(result)) return ShellError(result);
  ComPtr<IDispatch> application;
  if (result = folderView->get_Application(application.GetAddressOf()); FAILED(result)) return ShellError(result);
  if (application == nullptr) return ShellError(kNoObject);
  ComPtr<IShellDispatch2> shell;
  if (result = application.As(&shell); FAILED(result)) return ShellError(result);
  return shell;
}

constexpr DWORD kCancelIntervalMs = 100;

// What the calling thread hands back. Shared with it, since a thread whose
// call neither answers nor can be cancelled outlives the wait.
struct ShellCall {
  std::function<long()> call;
  std::atomic<DWORD> threadId{0};
  UniqueEvent finished{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HRESULT result = E_FAIL;  // written before `finished` is set
};

void RunShellCall(const std::shared_ptr<ShellCall>& shellCall) {
  shellCall->threadId.store(GetCurrentThreadId(), std::memory_order_release);
  HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (SUCCEEDED(result)) {
    // Lets the waiting thread cancel a call that the shell does not answer.
    const bool cancellable = SUCCEEDED(CoEnableCallCancellation(nullptr));
    try {
      result = static_cast<HRESULT>(shellCall->call());
    } catch (const std::bad_alloc&) {
      result = E_OUTOFMEMORY;  // nothing may leave a thread
    }
    if (cancellable) CoDisableCallCancellation(nullptr);
    CoUninitialize();
  }
  shellCall->result = result;
  SetEvent(shellCall->finished.get());
}

// Wine's ole32 has no call cancellation: its CoCancelCall is a stub that
// raises an exception when called. Wine's ntdll tells that system apart.
bool SystemCancelsComCalls() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") == nullptr;
}

// Cancels the calling thread's calls until it has ended or the grace time
// has passed; true when it has ended.
bool CancelShellCall(const ShellCall& shellCall) {
  if (!SystemCancelsComCalls()) return false;
  const DWORD threadId = shellCall.threadId.load(std::memory_order_acquire);
  const ULONGLONG started = GetTickCount64();
  do {
    if (threadId != 0) CoCancelCall(threadId, 0);
    if (WaitDispatching(shellCall.finished.get(), kCancelIntervalMs) == WAIT_OBJECT_0) return true;
  } while (GetTickCount64() - started < kShellCallCancelGraceMs);
  return false;
}

}  // namespace

Status CallShellWithin(std::function<long()> call, uint32_t limitMs) {
  auto shellCall = std::make_shared<ShellCall>();
  if (!shellCall->finished) return ShellError(HRESULT_FROM_WIN32(GetLastError()));
  shellCall->call = std::move(call);
  std::thread thread;
  try {
    thread = std::thread(RunShellCall, shellCall);
  } catch (const std::exception&) {
    return ShellError(E_OUTOFMEMORY);
  }
  if (WaitDispatching(shellCall->finished.get(), limitMs) == WAIT_OBJECT_0) {
    thread.join();
    if (FAILED(shellCall->result)) return ShellError(shellCall->result);
    return Status();
  }
  if (CancelShellCall(*shellCall)) {
    thread.join();
  } else {
    // Neither answered nor cancelled (Wine cancels no call): the thread holds
    // only what it shares with nobody but itself, and ends with the process,
    // which the end of the run is close to.
    thread.detach();
  }
  return ShellError(static_cast<HRESULT>(kShellCallTimedOut));
}

Status OpenThroughDesktopShell(const std::wstring& address) {
  auto shell = FindDesktopShellDispatch();
  if (!shell) return shell.error();
  const Bstr file(address);
  if (file.get() == nullptr) return ShellError(E_OUTOFMEMORY);
  Variant arguments, folder, verb;
  Variant show(SW_SHOW);
  const HRESULT result = (*shell)->ShellExecute(file.get(), arguments.value(), folder.value(), verb.value(),
                                                show.value());
  if (FAILED(result)) return ShellError(result);
  return Status();
}

void OpenPageAsSignedInUser(const std::wstring& address) {
  const Status opened = CallShellWithin(
      [address]() -> long {
        const Status status = OpenThroughDesktopShell(address);
        return status ? S_OK : static_cast<HRESULT>(status.error().systemError);
      },
      kPageOpeningDeadlineMs);
  if (opened) return;
  if (opened.error().systemError == kShellCallTimedOut) {
    LOG(WARNING) << "The desktop's shell did not open the page within " << kPageOpeningDeadlineMs / 1000
                 << " seconds; it is given up";
    return;
  }
  // Opened from here, the page would be opened with administrator rights, by
  // whatever handler the user's own classes name for the address.
  LOG(WARNING) << "The desktop's shell can't open the page (error code " << opened.error().systemError
               << "); the page is not opened";
}
