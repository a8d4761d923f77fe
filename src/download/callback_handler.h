// The status callback of the installer download: logs each reported step,
// moves the progress bar and writes the line under it as data arrives, pulls
// the data from URL monikers and writes it to the arriving file, asks for
// the rest of a broken transfer, and tells the main thread when the transfer
// is to be aborted or has stopped. Every method runs on the main thread:
// URL monikers call an asynchronous binding back on the thread that began
// it, from the messages that thread dispatches.
#pragma once

#include <windows.h>
#include <urlmon.h>
#include <wrl/client.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "download/download_attempts.h"
#include "progress/download_estimate.h"

class ArrivingFile;
class ProgressWindow;

// True when a download that started on HTTPS is redirected to an address that
// is not HTTPS (any letter case of the scheme): such a downgrade is refused.
bool IsRefusedRedirect(bool startedOnHttps, const wchar_t* newUrl);

// The binding's flags: asynchronous, its data pulled from a stream, and the
// Internet cache neither read nor written, so that the only copy of the
// bytes is the one the stub writes.
constexpr DWORD kDownloadBindFlags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_NOWRITECACHE |
                                     BINDF_GETNEWESTVERSION | BINDF_PRAGMA_NO_CACHE | BINDF_RESYNCHRONIZE;

// Counts no references: the object that owns it outlives the binding (or,
// where a binding never stopped, is never destroyed). As the download's HTTP
// negotiator it asks for the rest of a broken transfer and reads each
// answer's status, length and range, which tell where its body goes.
class CallbackHandler : public IBindStatusCallback, public IHttpNegotiate {
 public:
  // Milliseconds of a monotonic clock; GetTickCount64 but in tests.
  using TickClock = std::function<ULONGLONG()>;

  // The window may be null: the callback then only logs.
  explicit CallbackHandler(ProgressWindow* window = nullptr, TickClock clock = GetTickCount64);
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
  STDMETHODIMP GetBindInfo(DWORD* flags, BINDINFO* info) override;
  STDMETHODIMP OnDataAvailable(DWORD flags, DWORD size, FORMATETC* format, STGMEDIUM* medium) override;
  STDMETHODIMP OnObjectAvailable(REFIID, IUnknown*) override { return E_NOTIMPL; }

  STDMETHODIMP BeginningTransaction(LPCWSTR url, LPCWSTR headers, DWORD reserved, LPWSTR* additional) override;
  STDMETHODIMP OnResponse(DWORD status, LPCWSTR responseHeaders, LPCWSTR requestHeaders, LPWSTR* additional) override;

  // Starts the count of a new attempt, whose data goes to file (which
  // outlives the attempt): the bar and the line start over, and the last
  // attempt's answer is forgotten. resumeFrom, where given, asks for the
  // rest of the file from that byte, on the condition that its version is
  // still the one the validator names.
  void BeginAttempt(ArrivingFile* file, uint64_t resumeFrom = 0, const std::wstring& validator = std::wstring());
  // What the server's last answer of this attempt said about the transfer.
  const TransferHeaders& Headers() const { return headers_; }
  // Where this attempt's answer put its body.
  std::optional<BodyPlace> Place() const { return place_; }

  // Set (and reset by the wait that sees it) when the binding has stopped or
  // when the callback wants it aborted: the main thread's wait wakes.
  HANDLE AttentionEvent() const { return attention_.get(); }
  bool Stopped() const { return stopped_; }
  HRESULT StopResult() const { return stopResult_; }
  // True once the callback refused the transfer (a refused redirect, an
  // unusable answer, a failed write, a transfer past its length).
  bool WantsAbort() const { return wantsAbort_; }
  // Aborts the binding; false when there is none.
  bool Abort();
  // Cuts the callback off a binding that did not stop: whatever URL monikers
  // still report is refused, and neither the window nor the file is touched.
  void Detach();
  bool Detached() const { return detached_; }

  // The clock's time, that of the last notification (none before the first),
  // the bytes this attempt has brought so far, and when the last of them
  // came (none before the first).
  ULONGLONG Now() const { return clock_(); }
  std::optional<ULONGLONG> LastNotificationAt() const;
  uint64_t BytesReceived() const { return received_; }
  std::optional<ULONGLONG> LastDataAt() const;

  // No file grows past the document's size (none: no such limit) or the
  // length its answer announces: a transfer that would is aborted, and
  // Overran says so.
  void LimitTo(std::optional<uint64_t> size) { documentSize_ = size; }
  std::optional<uint64_t> Limit() const { return TransferLimit(headers_, documentSize_); }
  bool Overran() const { return overran_; }
  // The system's error of a failed write of the file, 0 when none failed.
  DWORD WriteError() const { return writeError_; }

  // The address the download starts from; a redirect from HTTPS to another
  // scheme then aborts the download (see IsRefusedRedirect).
  void StartsFrom(const std::wstring& url);
  // True once such a redirect was refused; the download is not to be used.
  bool RefusedRedirect() const { return refusedRedirect_; }

 private:
  void Notified();
  void Refuse();
  void PlaceBody();
  HRESULT PullData(IStream* stream);
  bool Keep(const unsigned char* data, size_t count);
  void ProgressStep(uint64_t progress, uint64_t progressMax);
  void ShowLine(uint64_t progress, uint64_t progressMax, bool final);

  ProgressWindow* window_;
  ArrivingFile* file_ = nullptr;
  const TickClock clock_;
  bool detached_ = false;
  bool startedOnHttps_ = false;
  bool refusedRedirect_ = false;
  int lastPercent_ = 0;  // the last percentage sent to the bar
  ProgressLine line_;
  uint64_t resumeFrom_ = 0;
  std::wstring validator_;
  TransferHeaders headers_;
  std::optional<BodyPlace> place_;
  std::optional<uint64_t> documentSize_;
  uint64_t received_ = 0;
  ULONGLONG lastDataAt_ = 0;
  bool overran_ = false;
  DWORD writeError_ = 0;
  bool wantsAbort_ = false;
  bool notified_ = false;
  ULONGLONG lastNotification_ = 0;
  bool stopped_ = false;
  HRESULT stopResult_ = S_OK;
  UniqueEvent attention_;
  std::vector<unsigned char> block_;  // what one read of the binding's stream takes
  Microsoft::WRL::ComPtr<IBinding> binding_;
};
