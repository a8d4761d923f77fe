#include "download/callback_handler.h"

#include <cmath>
#include <limits>

#include "common/text.h"
#include "log/log_setup.h"
#include "progress/progress_text.h"
#include "progress/progress_window.h"

STDMETHODIMP CallbackHandler::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (IsEqualIID(riid, IID_IBindStatusCallback) || IsEqualIID(riid, IID_IUnknown)) {
    *object = static_cast<IBindStatusCallback*>(this);
    return S_OK;
  }
  if (IsEqualIID(riid, IID_IHttpNegotiate)) {
    *object = static_cast<IHttpNegotiate*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

bool IsRefusedRedirect(bool startedOnHttps, const wchar_t* newUrl) {
  return startedOnHttps && (newUrl == nullptr || !StartsWithHttps(newUrl));
}

STDMETHODIMP CallbackHandler::BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additional) {
  if (additional != nullptr) *additional = nullptr;  // no headers of the stub's own
  return S_OK;
}

STDMETHODIMP CallbackHandler::OnResponse(DWORD status, LPCWSTR responseHeaders, LPCWSTR, LPWSTR* additional) {
  if (additional != nullptr) *additional = nullptr;
  headers_ = ParseTransferHeaders(responseHeaders != nullptr ? responseHeaders : L"");
  if (headers_.status == 0) headers_.status = status;
  return S_OK;
}

void CallbackHandler::BeginAttempt() {
  lastPercent_ = 0;
  line_ = ProgressLine();
  headers_ = TransferHeaders();
  received_.store(0);
  lastDataAt_.store(0);
  overran_.store(false);
  notified_.store(false);  // the watchdog's quiet time counts from this attempt's start
  if (window_ != nullptr) {
    window_->SetPosition(0);
    window_->SetLine(std::wstring(), std::wstring());
  }
}

void CallbackHandler::StartsFrom(const std::wstring& url) { startedOnHttps_ = StartsWithHttps(url); }

STDMETHODIMP CallbackHandler::OnStartBinding(DWORD, IBinding* started) {
  {
    std::lock_guard<std::mutex> lock(bindingLock_);
    binding_ = started;
  }
  Notified();
  return S_OK;
}

STDMETHODIMP CallbackHandler::OnStopBinding(HRESULT, LPCWSTR) {
  Microsoft::WRL::ComPtr<IBinding> stopped;
  {
    std::lock_guard<std::mutex> lock(bindingLock_);
    stopped.Swap(binding_);
  }
  return S_OK;  // released outside the lock
}

void CallbackHandler::Notified() {
  lastNotification_.store(clock_());
  notified_.store(true);
}

std::optional<ULONGLONG> CallbackHandler::LastNotificationAt() const {
  if (!notified_.load()) return std::nullopt;
  return lastNotification_.load();
}

bool CallbackHandler::Abort() {
  Microsoft::WRL::ComPtr<IBinding> binding;
  {
    std::lock_guard<std::mutex> lock(bindingLock_);
    binding = binding_;
  }
  // Outside the lock: the binding may report its stop on this very thread.
  if (!binding) return false;
  binding->Abort();
  return true;
}

STDMETHODIMP CallbackHandler::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR statusText) {
  Notified();
  // Windows reports a redirect with its new address; a download that began on
  // HTTPS does not go on over plain HTTP (Wine reports no redirects).
  if (statusCode == BINDSTATUS_REDIRECTING && IsRefusedRedirect(startedOnHttps_, statusText)) {
    refusedRedirect_ = true;
    LOG(ERROR) << "The installer's download was redirected from HTTPS to "
               << Quoted(statusText != nullptr ? statusText : L"") << "; the redirect is refused";
    return E_ABORT;
  }
  switch (statusCode) {
    case BINDSTATUS_FINDINGRESOURCE: LOG(INFO) << "Finding resource..."; break;
    case BINDSTATUS_CONNECTING: LOG(INFO) << "Connecting..."; break;
    case BINDSTATUS_BEGINDOWNLOADDATA: LOG(INFO) << "Begin download"; break;
    case BINDSTATUS_DOWNLOADINGDATA:
      if (!CountReceived(progress)) return E_ABORT;
      ProgressStep(progress, progressMax);
      ShowLine(progress, progressMax, false);
      break;
    case BINDSTATUS_ENDDOWNLOADDATA:
      if (!CountReceived(progress)) return E_ABORT;
      ProgressStep(progress, progressMax);
      ShowLine(progress, progressMax, true);
      LOG(INFO) << "End download";
      break;
    case BINDSTATUS_SENDINGREQUEST: LOG(INFO) << "Sending request..."; break;
    case BINDSTATUS_MIMETYPEAVAILABLE: LOG(INFO) << "Mime type available"; break;
    case BINDSTATUS_CACHEFILENAMEAVAILABLE: LOG(INFO) << "Cache filename available"; break;
    default: LOG(INFO) << "Status code : " << static_cast<unsigned long>(statusCode); break;
  }
  return S_OK;
}

void CallbackHandler::ProgressStep(ULONG progress, ULONG progressMax) {
  if (progressMax == 0) return;  // total size unknown
  // In double precision, so progress * 100 can't overflow on large files.
  const double quotient = std::trunc(static_cast<double>(progress) * 100.0 / static_cast<double>(progressMax));
  if (quotient > static_cast<double>(std::numeric_limits<int>::max())) return;
  const int percent = static_cast<int>(quotient);
  if (percent <= lastPercent_) return;  // the bar never moves backwards
  LOG(INFO) << percent;
  if (window_ != nullptr) window_->SetPosition(percent);
  lastPercent_ = percent;
}

void CallbackHandler::ShowLine(ULONG progress, ULONG progressMax, bool final) {
  if (window_ == nullptr) return;
  if (const auto content = line_.Update(clock_(), progress, progressMax, final)) {
    LineContent stalled = *content;
    stalled.left.reset();
    window_->SetLine(FormatProgressLine(*content), FormatProgressLine(stalled));
  }
}

std::optional<ULONGLONG> CallbackHandler::LastDataAt() const {
  if (received_.load() == 0) return std::nullopt;
  return lastDataAt_.load();
}

// False once the transfer has gone past its limit: it is to be aborted.
bool CallbackHandler::CountReceived(ULONG progress) {
  // The reports carry the count in 32 bits: a count below the last one has
  // wrapped past 4 GiB.
  const uint64_t last = received_.load();
  const uint64_t lastLow = last & 0xFFFFFFFFULL;
  uint64_t now = (last & ~0xFFFFFFFFULL) | progress;
  if (progress < lastLow) now += 0x100000000ULL;
  if (now > last) {
    received_.store(now);
    lastDataAt_.store(clock_());
  }
  const auto limit = Limit();
  if (limit && now > *limit) overran_.store(true);  // the attempt's record says so
  return !overran_.load();
}
