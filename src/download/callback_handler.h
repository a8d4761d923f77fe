// The status callback of the installer download: logs each reported step,
// moves the progress bar and writes the line under it as data arrives, and
// counts what arrived, stopping a transfer that goes past its length. It
// keeps the download's binding, so that a watchdog on another thread can
// abort it.
#pragma once

#include <windows.h>
#include <urlmon.h>
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "download/download_attempts.h"
#include "progress/download_estimate.h"

class ProgressWindow;

// True when a download that started on HTTPS is redirected to an address that
// is not HTTPS (any letter case of the scheme): such a downgrade is refused.
bool IsRefusedRedirect(bool startedOnHttps, const wchar_t* newUrl);

// Counts no references: the object that owns it outlives the download, and
// URL monikers hold it only while the download runs on the calling thread.
// As the download's HTTP negotiator it reads each answer's status and length,
// which tell a refused or cut transfer from a whole one.
class CallbackHandler : public IBindStatusCallback, public IHttpNegotiate {
 public:
  // Milliseconds of a monotonic clock; GetTickCount64 but in tests.
  using TickClock = std::function<ULONGLONG()>;

  // The window may be null: the callback then only logs.
  explicit CallbackHandler(ProgressWindow* window = nullptr, TickClock clock = GetTickCount64)
      : window_(window), clock_(std::move(clock)) {}
  virtual ~CallbackHandler() = default;
  CallbackHandler(const CallbackHandler&) = delete;
  CallbackHandler& operator=(const CallbackHandler&) = delete;

  STDMETHODIMP QueryInterface(REFIID riid, void** object) override;
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }

  STDMETHODIMP OnStartBinding(DWORD reserved, IBinding* binding) override;
  STDMETHODIMP GetPriority(LONG*) override { return E_NOTIMPL; }
  STDMETHODIMP OnLowResource(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR statusText) override;
  STDMETHODIMP OnStopBinding(HRESULT result, LPCWSTR error) override;
  STDMETHODIMP GetBindInfo(DWORD*, BINDINFO*) override { return E_NOTIMPL; }
  STDMETHODIMP OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM*) override { return E_NOTIMPL; }
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  STDMETHODIMP BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved, LPWSTR* additional) override;
  STDMETHODIMP OnResponse(DWORD status, LPCWSTR responseHeaders, LPCWSTR requestHeaders, LPWSTR* additional) override;

  // Starts the count of a new attempt of the download: the bar and the line
  // start over, and the last attempt's answer is forgotten.
  void BeginAttempt();
  // What the server's last answer of this attempt said about the transfer.
  const TransferHeaders& Headers() const { return headers_; }

  // For the watchdog on another thread while the download runs: the clock's
  // time, that of the last notification, none before the first, and aborting
  // the download. Abort is false when there is no binding.
  ULONGLONG Now() const { return clock_(); }
  std::optional<ULONGLONG> LastNotificationAt() const;
  bool Abort();

  // The bytes this attempt has brought so far, and when the last of them
  // came (none before the first); any thread may read them.
  uint64_t BytesReceived() const { return received_.load(); }
  std::optional<ULONGLONG> LastDataAt() const;

  // No transfer goes past the document's size (none: no such limit) or its
  // answer's Content-Length: one that does is aborted, and Overran says so.
  void LimitTo(std::optional<uint64_t> size) { documentSize_ = size; }
  std::optional<uint64_t> Limit() const { return TransferLimit(headers_, documentSize_); }
  bool Overran() const { return overran_.load(); }

  // The address the download starts from; a redirect from HTTPS to another
  // scheme then aborts the download (see IsRefusedRedirect).
  void StartsFrom(const std::wstring& url);
  // True once such a redirect was refused; the download is not to be used.
  bool RefusedRedirect() const { return refusedRedirect_; }

 private:
  void Notified();
  void ProgressStep(ULONG progress, ULONG progressMax);
  void ShowLine(ULONG progress, ULONG progressMax, bool final);
  bool CountReceived(ULONG progress);

  ProgressWindow* const window_;
  const TickClock clock_;
  bool startedOnHttps_ = false;
  bool refusedRedirect_ = false;
  int lastPercent_ = 0;  // the last percentage sent to the bar
  ProgressLine line_;
  TransferHeaders headers_;
  std::optional<uint64_t> documentSize_;
  std::atomic<uint64_t> received_{0};  // progress reports count 32 bits; this carries over
  std::atomic<ULONGLONG> lastDataAt_{0};
  std::atomic<bool> overran_{false};
  std::atomic<bool> notified_{false};
  std::atomic<ULONGLONG> lastNotification_{0};
  std::mutex bindingLock_;  // guards binding_ between the download and the watchdog
  Microsoft::WRL::ComPtr<IBinding> binding_;
};
