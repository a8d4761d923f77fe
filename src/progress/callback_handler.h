// The status callback of the installer download: logs each reported step,
// moves the progress bar as data arrives and ends the progress window when the
// download reports its end. It never influences the download itself.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <atomic>
#include <mutex>

// Lives until the process ends and counts no references: the download holds
// it only while it runs on the main thread.
class CallbackHandler : public IBindStatusCallback {
 public:
  CallbackHandler() = default;
  virtual ~CallbackHandler() = default;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  // Keeps the binding, so that a stalled download can be aborted.
  STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode,
                          LPCWSTR statusText) override;
  STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override;
  STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  int LastPercent() const { return lastPercent; }

  // For a watchdog on another thread while the download runs: how long ago
  // the last notification came (0 before the first), and aborting the
  // download. Abort is false when there is no binding to abort.
  ULONGLONG MillisecondsSinceLastNotification() const;
  bool Abort();

 private:
  void ProgressStep(ULONG progress, ULONG progressMax);

  int lastPercent = 0;  // the last percentage sent to the bar
  std::atomic<ULONGLONG> lastNotification{0};
  std::mutex bindingLock;     // guards binding between the download and the watchdog
  IBinding* binding = nullptr;
};
