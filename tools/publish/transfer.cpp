#include "transfer.h"

#include <curl/curl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <ctime>
#include <memory>

#include "common/text.h"

namespace {

// The stub's limits: a response body of at most 64 MiB, ten automatic
// redirects (WinHTTP's default), a stalled transfer given up after 30 s.
constexpr uint64_t kMaxDocumentBytes = 64u * 1024u * 1024u;
constexpr int kMaxRedirects = 10;

struct Sink {
  std::string* body = nullptr;
  FILE* file = nullptr;
  uint64_t count = 0;
  bool tooLarge = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* context) {
  auto* sink = static_cast<Sink*>(context);
  const size_t bytes = size * count;
  if (sink->body != nullptr) {
    if (sink->count + bytes > kMaxDocumentBytes) {
      sink->tooLarge = true;
      return 0;
    }
    sink->body->append(data, bytes);
  } else if (sink->file != nullptr && std::fwrite(data, 1, bytes, sink->file) != bytes) {
    return 0;
  }
  sink->count += bytes;
  return bytes;
}

// Keeps the headers of the last response only (a redirect's are replaced).
size_t WriteHeader(char* data, size_t size, size_t count, void* context) {
  auto* headers = static_cast<std::string*>(context);
  const std::string line(data, size * count);
  if (line.compare(0, 5, "HTTP/") == 0) headers->clear();
  *headers += line;
  return size * count;
}

struct Progress {
  bool shown = false;
  bool terminal = false;
  time_t last = 0;
  int lastPercent = -1;
};

int ShowProgress(void* context, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t) {
  auto* progress = static_cast<Progress*>(context);
  if (now <= 0) return 0;
  const time_t clock = std::time(nullptr);
  const int percent = total > 0 ? static_cast<int>(now * 100 / total) : -1;
  // On a terminal the line is redrawn; elsewhere one line every few seconds.
  if (progress->terminal ? percent == progress->lastPercent : clock - progress->last < 5) return 0;
  progress->last = clock;
  progress->lastPercent = percent;
  const double mib = static_cast<double>(now) / (1024.0 * 1024.0);
  if (total > 0) {
    std::fprintf(stderr, "%sdownload   %3d%%  %.1f of %.1f MiB%s", progress->terminal ? "\r" : "", percent, mib,
                 static_cast<double>(total) / (1024.0 * 1024.0), progress->terminal ? "" : "\n");
  } else {
    std::fprintf(stderr, "%sdownload   %.1f MiB%s", progress->terminal ? "\r" : "", mib,
                 progress->terminal ? "" : "\n");
  }
  progress->shown = true;
  return 0;
}

enum class RedirectRule { kDocument, kDownload };

Transfer Run(const std::string& firstUrl, Sink& sink, const TransferOptions& options, RedirectRule rule) {
  Transfer transfer;
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    transfer.error = "libcurl could not be initialised";
    return transfer;
  }
  std::string url = firstUrl;
  Progress progress;
  progress.terminal = isatty(2) != 0;
  for (int hop = 0;; ++hop) {
    CURL* handle = curl.get();
    curl_easy_reset(handle);
    curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_USERAGENT, "WinHttpClient");
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 60L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WriteBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, WriteHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer.rawHeaders);
    if (options.progress) {
      curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
      curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, ShowProgress);
      curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &progress);
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
    if (sink.body != nullptr) sink.body->clear();
    if (sink.file != nullptr) {
      std::rewind(sink.file);
      if (ftruncate(fileno(sink.file), 0) != 0) {
        transfer.error = "the download's file can't be written";
        return transfer;
      }
    }
    sink.count = 0;
    const CURLcode result = curl_easy_perform(handle);
    if (progress.shown && progress.terminal) std::fputc('\n', stderr);
    progress.shown = false;
    transfer.url = url;
    if (result != CURLE_OK) {
      transfer.error = sink.tooLarge ? "the response is larger than 64 MiB"
                                     : std::string(error[0] != '\0' ? error : curl_easy_strerror(result));
      return transfer;
    }
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &transfer.status);
    transfer.bytes = sink.count;
    char* location = nullptr;
    curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location);
    if (transfer.status < 300 || transfer.status > 399 || location == nullptr) {
      transfer.answered = true;
      return transfer;
    }
    const std::string next = location;
    if (StartsWithHttps(url) && !StartsWithHttps(next)) {
      transfer.redirects.push_back(next);
      if (rule == RedirectRule::kDownload) {
        transfer.refusedRedirect = true;
        transfer.error = "redirected from HTTPS to " + next;
        return transfer;
      }
      transfer.redirectNotFollowed = true;
      transfer.answered = true;
      return transfer;
    }
    if (hop >= kMaxRedirects) {
      transfer.error = "more than " + std::to_string(kMaxRedirects) + " redirects";
      return transfer;
    }
    transfer.redirects.push_back(next);
    url = next;
  }
}

}  // namespace

Transfer FetchDocument(const std::string& url, const TransferOptions& options) {
  std::string body;
  Sink sink;
  sink.body = &body;
  TransferOptions quiet = options;
  quiet.progress = false;
  Transfer transfer = Run(url, sink, quiet, RedirectRule::kDocument);
  transfer.body = body;
  return transfer;
}

Transfer DownloadFile(const std::string& url, const std::string& path, const TransferOptions& options) {
  const std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "w+b"), std::fclose);
  if (!file) {
    Transfer transfer;
    transfer.error = "can't write " + path;
    return transfer;
  }
  Sink sink;
  sink.file = file.get();
  Transfer transfer = Run(url, sink, options, RedirectRule::kDownload);
  if (std::fflush(file.get()) != 0 && transfer.error.empty()) {
    transfer.answered = false;
    transfer.error = "can't write " + path;
  }
  return transfer;
}
