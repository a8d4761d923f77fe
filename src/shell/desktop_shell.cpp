#include "shell/desktop_shell.h"

#include <windows.h>

#include <exdisp.h>
#include <shldisp.h>
#include <shlobj.h>
#include <wrl/client.h>

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

}  // namespace

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
  const Status opened = OpenThroughDesktopShell(address);
  if (opened) return;
  // Opened from here, the page would be opened with administrator rights, by
  // whatever handler the user's own classes name for the address.
  LOG(WARNING) << "The desktop's shell can't open the page (error code " << opened.error().systemError
               << "); the page is not opened";
}
