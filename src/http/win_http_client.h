// One blocking HTTP or HTTPS request over WinHTTP, with proxy discovery, up to
// three attempts, header scanning and body decoding. One object per request;
// the stub uses it for the configuration document and the analytics hit.
//
// The proxy is the one the user's browser would use: before the session is
// opened, the user's Internet settings are read and a configured script,
// automatic detection and a named proxy are tried in that order; where none
// decides, Windows chooses (WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY from Windows
// 8.1 on, the machine's WinHTTP proxy before). A proxy that answers 407 with
// Negotiate or NTLM gets the signed-in user's credentials once, where
// MayReceiveDefaultCredentials allows it.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/deadline_watch.h"
#include "common/result.h"
#include "common/time_limits.h"
#include "common/unique_handle.h"
#include "http/certificate_facts.h"
#include "http/proxy_policy.h"

class WinHttpClient {
 public:
  // A response body is never held beyond this size; a larger one fails the
  // attempt with ERROR_NOT_ENOUGH_MEMORY. It is far above any document the
  // stub fetches and keeps a hostile server from exhausting memory.
  static constexpr uint32_t kMaxResponseBytes = 64u * 1024u * 1024u;
  static constexpr uint32_t kInitialBodyCapacity = 10240;
  static constexpr int kAttempts = 3;

  explicit WinHttpClient(std::wstring url);
  WinHttpClient(const WinHttpClient&) = delete;
  WinHttpClient& operator=(const WinHttpClient&) = delete;

  // Sends the request ("GET" or "POST", any letter case) and reads the answer.
  // Succeeds when a response was received and read, whatever its HTTP status;
  // otherwise fails with the system's error that stands behind the failure
  // (the latest its attempts recorded). Never throws.
  Status Perform(const std::wstring& verb) noexcept;

  std::wstring ResponseText() const { return responseText_; }

  // What the stub's two requests set and read (the configuration document
  // and the failed hit).
  void SetStrictCertificates(bool strict) { strictCertificates_ = strict; }
  // Ends Perform within totalMs of its start, whatever the server does: its
  // attempts and the proxy fallback together. 0, the default, sets none.
  void SetDeadline(uint32_t totalMs) { deadlineMs_ = totalMs; }
  const std::wstring& StatusCode() const { return statusCode_; }
  const std::wstring& ContentType() const { return contentType_; }
  // True when the last Perform was given up at its deadline; its error is
  // then ERROR_WINHTTP_TIMEOUT.
  bool DeadlinePassed() const { return deadlinePassed_; }
  // The system's error where it refused the last request's session TLS 1.2
  // (an unpatched Windows 7, which then offers TLS 1.0 only); 0 where it
  // allowed it. The client logs only each answer's status and size: its
  // callers warn.
  DWORD SecureProtocolsError() const { return secureProtocolsError_; }
  // Where the last request's proxy came from, what a 407 offered and whether
  // it was answered with the signed-in user's credentials.
  ProxyOrigin ProxyOriginUsed() const { return proxyOrigin_; }
  uint32_t ProxySchemesOffered() const { return proxySchemes_; }
  bool ProxyCredentialsGiven() const { return proxyCredentialsGiven_; }
  // Strict requests also build the server's chain on the machine's roots
  // only, with the SSL policy for the host: WinHTTP's own check takes the
  // current user's roots too, which any program the user runs may add to.
  // True when that check alone refused the server; the request then fails
  // with the policy's error and is not repeated.
  bool RefusedForUserTrustOnly() const { return userTrustOnly_; }
  // After a strict request that TLS refused: what the server's certificate
  // showed, read over a second connection that ignored the refusal and
  // carried no data; empty where it could not be read.
  const std::optional<RefusedCertificate>& RefusedServerCertificate() const { return refusedCertificate_; }

  // The rest of the client's definition: options the stub never sets and
  // response state it never reads, kept as the client is defined (its tests
  // use most of them; the user agent's and the time-outs' setters, the extra
  // headers, the request cookies, the fixed charset and Url have no caller).
  // The defaults are what the stub's requests use.
  void SetUserAgent(std::wstring agent) { userAgent_ = std::move(agent); }
  void SetTimeouts(int resolve, int connect, int send, int receive);
  void SetAdditionalRequestHeaders(std::wstring headers) { extraHeaders_ = std::move(headers); }
  void SetRequestCookies(std::wstring cookies) { requestCookies_ = std::move(cookies); }
  void SetRequestBody(std::vector<uint8_t> body) { requestBody_ = std::move(body); }
  void SetProxy(std::wstring proxy, std::wstring userName = L"", std::wstring password = L"");
  void SetFixedCharset(std::wstring charset);
  void SetProgressCallback(std::function<void(double)> callback) { progress_ = std::move(callback); }
  void SetMaxResponseBytes(uint32_t bytes) { maxResponseBytes_ = bytes; }
  const std::wstring& Url() const { return url_; }
  const std::wstring& HostName() const { return hostName_; }
  const std::wstring& RawResponseHeaders() const { return rawHeaders_; }
  const std::wstring& ResponseCharset() const { return charset_; }
  uint32_t ContentLength() const { return contentLength_; }
  const std::wstring& ResponseCookies() const { return responseCookies_; }
  // The raw body; always followed by at least one zero byte in the buffer.
  const uint8_t* ResponseBytes() const { return responseBytes_.empty() ? nullptr : responseBytes_.data(); }
  uint32_t ResponseByteCount() const { return responseByteCount_; }
  bool StrictCertificates() const { return strictCertificates_; }
  const std::wstring& UserAgent() const { return userAgent_; }
  // The TLS versions the last request's session was allowed: TLS 1.2 and 1.3,
  // TLS 1.2 alone where the system has no 1.3, or 0 where it refused both.
  DWORD SecureProtocols() const { return secureProtocols_; }

 private:
  bool PerformRequest(const std::wstring& verb);
  bool OpenSession();
  struct FoundProxy {
    ProxyOrigin origin;
    std::wstring proxy;  // empty: direct
    std::wstring bypass;
  };
  std::optional<FoundProxy> LookUpProxy(const UserProxySettings& settings);
  std::optional<FoundProxy> QueryProxyScript(ProxyLookup lookup, const UserProxySettings& settings);
  void AllowCurrentTls();
  bool RunAttempts(UniqueWinHttp& request, const std::wstring& verb);
  bool RunAttempt(HINTERNET request, const std::wstring& verb);
  bool OutOfTime() const;
  bool LimitWaitsToDeadline(HINTERNET handle);
  void AddRequestOptions(HINTERNET request);
  bool SendAndReceive(HINTERNET request);
  bool SendRequest(HINTERNET request);
  bool SendThroughUserProxy(HINTERNET request);
  bool AnswerProxyChallenge(HINTERNET request);
  bool TrustedByMachine(HINTERNET request);
  void InspectRefusedCertificate();
  void ReadResponseHeaders(HINTERNET request);
  void ReadStatusCode(HINTERNET request);
  void LogResponse() const;
  bool ReadBody(HINTERNET request);
  void DecodeBody();
  bool IsCompleteHtml() const;
  // The failure that stands behind a failed request: the latest one recorded
  // across its attempts, a setting that could not be applied included.
  void RecordError() { lastError_ = GetLastError(); }

  std::wstring url_;
  UniqueWinHttp session_;
  bool strictCertificates_ = false;
  std::wstring userAgent_ = L"WinHttpClient";
  int resolveTimeout_ = 0;
  int connectTimeout_ = kWinHttpConnectTimeoutMs;
  int sendTimeout_ = kWinHttpSendTimeoutMs;
  int receiveTimeout_ = kWinHttpReceiveTimeoutMs;
  std::wstring extraHeaders_;
  std::wstring requestCookies_;
  std::vector<uint8_t> requestBody_;
  std::wstring proxy_;
  std::wstring proxyUserName_;
  std::wstring proxyPassword_;
  bool charsetFixed_ = false;
  std::function<void(double)> progress_;
  uint32_t maxResponseBytes_ = kMaxResponseBytes;
  uint32_t deadlineMs_ = 0;

  // The deadline of the running Perform: its start, and the watch that closes
  // the request handle once the deadline has passed. A closed handle ends a
  // call blocked on the server where the system allows it (Windows); every
  // call is also given time-outs that end within the time left, which bound
  // each wait on their own (Wine, whose calls a close does not end).
  uint64_t startedAt_ = 0;
  std::optional<DeadlineWatch> watch_;

  // Fixed by the first request: where the session's proxy came from, and
  // whether the user's settings were read for it (then no fallback reads
  // them again after a failed send).
  ProxyOrigin proxyOrigin_ = ProxyOrigin::kSystem;
  bool userSettingsApplied_ = false;
  uint32_t proxySchemes_ = 0;
  bool proxyCredentialsGiven_ = false;
  bool userTrustOnly_ = false;
  std::optional<RefusedCertificate> refusedCertificate_;

  std::wstring hostName_;
  INTERNET_PORT port_ = 0;
  std::wstring path_;
  bool secure_ = false;
  std::wstring contentType_;
  std::wstring rawHeaders_;
  std::wstring charset_;
  uint32_t contentLength_ = 0;
  std::wstring responseCookies_;
  std::wstring statusCode_;
  std::vector<uint8_t> responseBytes_;  // capacity-sized, zero beyond the count
  uint32_t responseByteCount_ = 0;
  std::wstring responseText_;
  DWORD lastError_ = 0;
  bool deadlinePassed_ = false;
  DWORD secureProtocols_ = 0;
  DWORD secureProtocolsError_ = 0;
};

// What a session offers, best first: WinHTTP before Windows 8.1 offers TLS 1.0
// alone by default, which today's servers refuse.
inline constexpr DWORD kSecureProtocolChoices[] = {
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3,
    WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2,
};

// The warning for a request whose session the system refused TLS 1.2 (named
// by `what`, such as "the configuration request"); none when it was allowed
// or no session was opened.
std::optional<std::string> SecureProtocolsWarning(const WinHttpClient& client, const char* what);

// The warning for a strict request that only the current user's roots let
// through; none otherwise.
std::optional<std::string> UserTrustWarning(const WinHttpClient& client, const char* what);

// The options of one query for a URL's proxy: the configured script's, or
// automatic detection's through DHCP and DNS. The user's credentials go only
// to a script server the user or the machine configured: a detected script
// may come from any machine of the local network that answers WPAD.
WINHTTP_AUTOPROXY_OPTIONS ProxyQuery(ProxyLookup lookup, const wchar_t* configuredScriptUrl);

// The user's Internet settings; unread (read false) where the system refuses.
UserProxySettings ReadUserProxySettings();
