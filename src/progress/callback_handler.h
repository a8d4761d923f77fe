// The status callback of the installer download: logs each reported step,
// moves the progress bar as data arrives and ends the progress window when the
// download reports its end. It never influences the download itself.
#pragma once

#include <windows.h>
#include <urlmon.h>

// Lives until the process ends and counts no references: the download holds
// it only while it runs on the main thread.
class CallbackHandler : public IBindStatusCallback {
 public:
  CallbackHandler() = default;
  virtual ~CallbackHandler() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP OnStartBinding(DWORD, IBinding*) override { return E_NOTIMPL; }
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                          LPCWSTR statusText) override;
  STDMETHODIMP OnStopBinding(HRESULT, LPCWSTR) override { return E_NOTIMPL; }
  STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  int LastPercent() const { return lastPercent; }

 private:
  void ProgressStep(ULONG progress, ULONG progressMax);

  int lastPercent = 0;  // the last percentage sent to the bar
};
