#include "download/callback_handler.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "common/text.h"
#include "download/arriving_file.h"
#include "log/log_setup.h"
#include "progress/progress_text.h"
#include "progress/progress_window.h"

namespace {

// What one read of the binding's stream takes.
constexpr size_t kReadBlockSize = size_t{512} * 1024;

}  // namespace

CallbackHandler::CallbackHandler(ProgressWindow* window, TickClock clock)
    : window_(window),
      clock_(std::move(clock)),
      attention_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      block_(kReadBlockSize) {}
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
  if (additional == nullptr) return S_OK;
  *additional = nullptr;
  if (detached_) return E_ABORT;
  if (resumeFrom_ == 0) return S_OK;
  // URL monikers free the headers with the task allocator.
  const std::wstring headers = RangeRequestHeaders(resumeFrom_, validator_);
  const size_t bytes = (headers.size() + 1) * sizeof(wchar_t);
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::memcpy(copy, headers.c_str(), bytes);
  *additional = copy;
  return S_OK;
}

STDMETHODIMP CallbackHandler::OnResponse(DWORD status, LPCWSTR responseHeaders, LPCWSTR, LPWSTR* additional) {
  if (additional != nullptr) *additional = nullptr;
  if (detached_) return E_ABORT;
  headers_ = ParseTransferHeaders(responseHeaders != nullptr ? responseHeaders : L"");
  if (headers_.status == 0) headers_.status = status;
  PlaceBody();
  return S_OK;  // an unusable body is not taken; the binding's abort ends the transfer
}

// Decides where this answer's body goes in the file, and empties the file
// for a whole one.
void CallbackHandler::PlaceBody() {
  place_ = PlaceOfBody(resumeFrom_, headers_);
  if (resumeFrom_ > 0 && *place_ == BodyPlace::kAppend) {
    LOG(INFO) << "The installer's server sends the rest from byte " << resumeFrom_;
  } else if (resumeFrom_ > 0 && *place_ == BodyPlace::kWhole) {
    LOG(INFO) << "The installer's server sends the whole file again";
  }
  if (*place_ == BodyPlace::kUnusable) {
    Refuse();
  } else if (*place_ == BodyPlace::kWhole && file_ != nullptr && file_->size() > 0) {
    const Status emptied = file_->StartOver();
    if (!emptied) {
      writeError_ = emptied.error().systemError;
      Refuse();
    }
  }
}

void CallbackHandler::BeginAttempt(ArrivingFile* file, uint64_t resumeFrom, const std::wstring& validator) {
  file_ = file;
  resumeFrom_ = resumeFrom;
  validator_ = validator;
  lastPercent_ = 0;
  line_ = ProgressLine();
  headers_ = TransferHeaders();
  place_.reset();
  received_ = 0;
  lastDataAt_ = 0;
  overran_ = false;
  writeError_ = 0;
  wantsAbort_ = false;
  notified_ = false;  // the quiet time counts from this attempt's start
  stopped_ = false;
  stopResult_ = S_OK;
  binding_.Reset();
  if (attention_) ResetEvent(attention_.get());
  if (window_ != nullptr) {
    window_->SetPosition(0);
    window_->SetLine(std::wstring(), std::wstring());
  }
}

void CallbackHandler::StartsFrom(const std::wstring& url) { startedOnHttps_ = StartsWithHttps(url); }

STDMETHODIMP CallbackHandler::OnStartBinding(DWORD, IBinding* started) {
  if (detached_) return E_ABORT;
  binding_ = started;
  Notified();
  return S_OK;
}

STDMETHODIMP CallbackHandler::OnStopBinding(HRESULT result, LPCWSTR) {
  if (detached_) return S_OK;
  binding_.Reset();
  stopped_ = true;
  stopResult_ = result;
  if (attention_) SetEvent(attention_.get());
  return S_OK;
}

STDMETHODIMP CallbackHandler::GetBindInfo(DWORD* flags, BINDINFO* info) {
  if (flags == nullptr || info == nullptr) return E_INVALIDARG;
  *flags = kDownloadBindFlags;
  // The caller's structure may be of another version: its size says.
  const ULONG size = info->cbSize;
  std::memset(info, 0, size);
  info->cbSize = size;
  info->dwBindVerb = BINDVERB_GET;
  return S_OK;
}

STDMETHODIMP CallbackHandler::OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) {
  if (detached_) return E_ABORT;
  Notified();
  if (wantsAbort_) return E_ABORT;
  if (medium == nullptr || medium->tymed != TYMED_ISTREAM || medium->pstm == nullptr) return S_OK;
  if (!place_) PlaceBody();  // no answer was negotiated
  if (wantsAbort_) return E_ABORT;
  return PullData(medium->pstm);
}

// Reads what the stream holds until it has no more for now (E_PENDING) or
// at all (S_FALSE): URL monikers report new data only once it was all taken.
HRESULT CallbackHandler::PullData(IStream* stream) {
  for (;;) {
    ULONG got = 0;
    const HRESULT read = stream->Read(block_.data(), static_cast<ULONG>(block_.size()), &got);
    if (got > 0 && !Keep(block_.data(), got)) return E_ABORT;
    if (read != S_OK || got == 0) return S_OK;  // a failed read ends the binding with its own result
  }
}

// Writes the bytes to the file; false once the transfer is refused.
bool CallbackHandler::Keep(const unsigned char* data, size_t count) {
  const uint64_t had = file_ != nullptr ? file_->size() : resumeFrom_ + received_;
  const auto limit = Limit();
  if (limit && had + count > *limit) {
    overran_ = true;  // the attempt's record says so
    Refuse();
    return false;
  }
  if (file_ != nullptr) {
    const Status written = file_->Append(data, count);
    if (!written) {
      writeError_ = written.error().systemError;
      Refuse();
      return false;
    }
  }
  received_ += count;
  lastDataAt_ = clock_();
  // The bar follows the bytes written, whatever URL monikers report of them.
  if (const auto total = AnnouncedFileLength(headers_)) {
    ProgressStep(had + count, *total);
    ShowLine(had + count, *total, false);
  }
  return true;
}

void CallbackHandler::Refuse() {
  wantsAbort_ = true;
  if (attention_) SetEvent(attention_.get());
}

void CallbackHandler::Notified() {
  lastNotification_ = clock_();
  notified_ = true;
}

std::optional<ULONGLONG> CallbackHandler::LastNotificationAt() const {
  if (!notified_) return std::nullopt;
  return lastNotification_;
}

bool CallbackHandler::Abort() {
  // A copy: the binding may report its stop within its own Abort.
  const Microsoft::WRL::ComPtr<IBinding> binding = binding_;
  if (!binding) return false;
  binding->Abort();
  return true;
}

void CallbackHandler::Detach() {
  detached_ = true;
  window_ = nullptr;
  file_ = nullptr;
  binding_.Reset();
}

STDMETHODIMP CallbackHandler::OnProgress(ULONG progress, ULONG progressMax, ULONG statusCode, LPCWSTR statusText) {
  if (detached_) return E_ABORT;
  Notified();
  // Windows reports a redirect with its new address; a download that began on
  // HTTPS does not go on over plain HTTP (Wine reports no redirects).
  if (statusCode == BINDSTATUS_REDIRECTING && IsRefusedRedirect(startedOnHttps_, statusText)) {
    refusedRedirect_ = true;
    Refuse();
    LOG(ERROR) << "The installer's download was redirected from HTTPS to "
               << Quoted(statusText != nullptr ? statusText : L"") << "; the redirect is refused";
    return E_ABORT;
  }
  // The reports count this answer's bytes; the bar shows the file's.
  const uint64_t base = place_ == BodyPlace::kAppend ? resumeFrom_ : 0;
  const uint64_t total = progressMax == 0 ? 0 : base + progressMax;
  switch (statusCode) {
    case BINDSTATUS_FINDINGRESOURCE: LOG(INFO) << "Finding resource..."; break;
    case BINDSTATUS_CONNECTING: LOG(INFO) << "Connecting..."; break;
    case BINDSTATUS_BEGINDOWNLOADDATA: LOG(INFO) << "Begin download"; break;
    case BINDSTATUS_DOWNLOADINGDATA:
      ProgressStep(base + progress, total);
      ShowLine(base + progress, total, false);
      break;
    case BINDSTATUS_ENDDOWNLOADDATA:
      ProgressStep(base + progress, total);
      ShowLine(base + progress, total, true);
      LOG(INFO) << "End download";
      break;
    case BINDSTATUS_SENDINGREQUEST: LOG(INFO) << "Sending request..."; break;
    case BINDSTATUS_MIMETYPEAVAILABLE: LOG(INFO) << "Mime type available"; break;
    case BINDSTATUS_CACHEFILENAMEAVAILABLE: LOG(INFO) << "Cache filename available"; break;
    default: LOG(INFO) << "Status code : " << static_cast<unsigned long>(statusCode); break;
  }
  return S_OK;
}

void CallbackHandler::ProgressStep(uint64_t progress, uint64_t progressMax) {
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

void CallbackHandler::ShowLine(uint64_t progress, uint64_t progressMax, bool final) {
  if (window_ == nullptr) return;
  if (const auto content = line_.Update(clock_(), progress, progressMax, final)) {
    LineContent stalled = *content;
    stalled.left.reset();
    window_->SetLine(FormatProgressLine(*content), FormatProgressLine(stalled));
  }
}

std::optional<ULONGLONG> CallbackHandler::LastDataAt() const {
  if (received_ == 0) return std::nullopt;
  return lastDataAt_;
}
