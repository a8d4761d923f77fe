#include "progress/bar_accessible.h"

#include <commctrl.h>
#include <oleacc.h>
#include <wrl/client.h>

#include <atomic>
#include <string>

#include "common/text.h"
#include "resource.h"
#include "text/placeholders.h"
#include "text/ui_text.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT_PTR kSubclassId = 1;

BSTR CopyToBstr(const std::wstring& text) { return SysAllocStringLen(text.data(), static_cast<UINT>(text.size())); }

bool IsSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

// The system's object for the bar's client area, with the role, name and
// value of a progress bar. Counts its references; made afresh for each
// request of a client.
class BarAccessible final : public IAccessible {
 public:
  BarAccessible(HWND bar, ComPtr<IAccessible> standard) : bar_(bar), standard_(std::move(standard)) {}
  BarAccessible(const BarAccessible&) = delete;
  BarAccessible& operator=(const BarAccessible&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IDispatch)) ||
        IsEqualIID(riid, __uuidof(IAccessible))) {
      *object = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return standard_->GetTypeInfoCount(count); }
  STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override {
    return standard_->GetTypeInfo(index, locale, info);
  }
  STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override {
    return standard_->GetIDsOfNames(riid, names, count, locale, ids);
  }
  STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                      EXCEPINFO* exception, UINT* argument) override {
    return standard_->Invoke(id, riid, locale, flags, parameters, result, exception, argument);
  }

  STDMETHODIMP get_accParent(IDispatch** parent) override { return standard_->get_accParent(parent); }
  STDMETHODIMP get_accChildCount(LONG* count) override { return standard_->get_accChildCount(count); }
  STDMETHODIMP get_accChild(VARIANT child, IDispatch** object) override {
    return standard_->get_accChild(child, object);
  }
  STDMETHODIMP get_accName(VARIANT child, BSTR* name) override {
    if (name == nullptr) return E_POINTER;
    if (!IsSelf(child)) return standard_->get_accName(child, name);
    wchar_t text[256] = {};
    GetWindowTextW(bar_, text, 256);
    *name = CopyToBstr(text);
    return *name != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP get_accValue(VARIANT child, BSTR* value) override {
    if (value == nullptr) return E_POINTER;
    if (!IsSelf(child)) return standard_->get_accValue(child, value);
    *value = CopyToBstr(BarValueText(bar_));
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
  }
  STDMETHODIMP get_accDescription(VARIANT child, BSTR* text) override {
    return standard_->get_accDescription(child, text);
  }
  STDMETHODIMP get_accRole(VARIANT child, VARIANT* role) override {
    if (role == nullptr) return E_POINTER;
    if (!IsSelf(child)) return standard_->get_accRole(child, role);
    role->vt = VT_I4;
    role->lVal = ROLE_SYSTEM_PROGRESSBAR;
    return S_OK;
  }
  STDMETHODIMP get_accState(VARIANT child, VARIANT* state) override {
    const HRESULT result = standard_->get_accState(child, state);
    // A bar takes no focus and no input.
    if (SUCCEEDED(result) && IsSelf(child) && state->vt == VT_I4) state->lVal |= STATE_SYSTEM_READONLY;
    return result;
  }
  STDMETHODIMP get_accHelp(VARIANT child, BSTR* help) override { return standard_->get_accHelp(child, help); }
  STDMETHODIMP get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override {
    return standard_->get_accHelpTopic(file, child, topic);
  }
  STDMETHODIMP get_accKeyboardShortcut(VARIANT child, BSTR* keys) override {
    return standard_->get_accKeyboardShortcut(child, keys);
  }
  STDMETHODIMP get_accFocus(VARIANT* child) override { return standard_->get_accFocus(child); }
  STDMETHODIMP get_accSelection(VARIANT* children) override { return standard_->get_accSelection(children); }
  STDMETHODIMP get_accDefaultAction(VARIANT child, BSTR* action) override {
    return standard_->get_accDefaultAction(child, action);
  }
  STDMETHODIMP accSelect(LONG flags, VARIANT child) override { return standard_->accSelect(flags, child); }
  STDMETHODIMP accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
    return standard_->accLocation(left, top, width, height, child);
  }
  STDMETHODIMP accNavigate(LONG direction, VARIANT start, VARIANT* end) override {
    return standard_->accNavigate(direction, start, end);
  }
  STDMETHODIMP accHitTest(LONG x, LONG y, VARIANT* child) override { return standard_->accHitTest(x, y, child); }
  STDMETHODIMP accDoDefaultAction(VARIANT child) override { return standard_->accDoDefaultAction(child); }
  STDMETHODIMP put_accName(VARIANT child, BSTR name) override { return standard_->put_accName(child, name); }
  STDMETHODIMP put_accValue(VARIANT child, BSTR value) override { return standard_->put_accValue(child, value); }

 private:
  ~BarAccessible() = default;

  const HWND bar_;
  const ComPtr<IAccessible> standard_;
  std::atomic<ULONG> references_{1};
};

LRESULT CALLBACK BarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
  if (message == WM_GETOBJECT && static_cast<LONG>(lParam) == OBJID_CLIENT) {
    ComPtr<IAccessible> standard;
    if (SUCCEEDED(CreateStdAccessibleObject(bar, OBJID_CLIENT, __uuidof(IAccessible),
                                            reinterpret_cast<void**>(standard.GetAddressOf())))) {
      auto* object = new BarAccessible(bar, std::move(standard));
      const LRESULT result = LresultFromObject(__uuidof(IAccessible), wParam, object);
      object->Release();  // the result holds its own reference
      return result;
    }
  }
  if (message == WM_NCDESTROY) RemoveWindowSubclass(bar, BarProc, kSubclassId);
  return DefSubclassProc(bar, message, wParam, lParam);
}

}  // namespace

bool MakeBarAccessible(HWND bar) { return SetWindowSubclass(bar, BarProc, kSubclassId, 0) != FALSE; }

std::wstring BarValueText(HWND bar) {
  const auto position = static_cast<long long>(SendMessageW(bar, PBM_GETPOS, 0, 0));
  const long long low = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, TRUE, 0));
  const long long high = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
  const long long percent = high > low ? (position - low) * 100 / (high - low) : 0;
  return FillPlaceholders(UiText(IDS_PERCENT), {WideDecimal(percent)});
}
