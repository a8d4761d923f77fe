#include "http/win_http_client.h"

#include <wincrypt.h>

#include <cwchar>
#include <new>

#include "common/deadline.h"
#include "common/text.h"
#include "http/regexp.h"
#include "log/log_setup.h"

namespace {

// A scan counts when it succeeds and captures at least one string.
bool Scan(const wchar_t* pattern, const std::wstring& text, std::vector<std::wstring>& captures) {
  return FindMatches(pattern, text.c_str(), captures) && !captures.empty();
}

// The user's Internet settings; their strings are the caller's to free.
struct UserProxyConfig {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config = {};
  ~UserProxyConfig() {
    if (config.lpszAutoConfigUrl) GlobalFree(config.lpszAutoConfigUrl);
    if (config.lpszProxy) GlobalFree(config.lpszProxy);
    if (config.lpszProxyBypass) GlobalFree(config.lpszProxyBypass);
  }
};

struct ProxyInfo {
  WINHTTP_PROXY_INFO info = {};
  ~ProxyInfo() {
    if (info.lpszProxy) GlobalFree(info.lpszProxy);
    if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
  }
};

// Asks for the size, then for the text; on failure the value keeps what it held.
bool QueryHeaderText(HINTERNET request, DWORD infoLevel, std::wstring& value) {
  DWORD size = 0;
  if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                           WINHTTP_NO_HEADER_INDEX) &&
      GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
  if (!WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(), &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  value.assign(buffer.data());
  return true;
}

struct CertificateTraits {
  using Handle = PCCERT_CONTEXT;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { CertFreeCertificateContext(h); }
};
struct ChainTraits {
  using Handle = PCCERT_CHAIN_CONTEXT;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { CertFreeCertificateChain(h); }
};
using UniqueCertificate = UniqueHandle<CertificateTraits>;
using UniqueChain = UniqueHandle<ChainTraits>;

static_assert(kAuthNtlm == WINHTTP_AUTH_SCHEME_NTLM && kAuthNegotiate == WINHTTP_AUTH_SCHEME_NEGOTIATE &&
                  kAuthBasic == WINHTTP_AUTH_SCHEME_BASIC && kAuthDigest == WINHTTP_AUTH_SCHEME_DIGEST &&
                  kAuthPassport == WINHTTP_AUTH_SCHEME_PASSPORT,
              "the portable scheme numbers are WinHTTP's");

UniqueCertificate ServerCertificate(HINTERNET request) {
  // The option fills in a pointer to the context, which the caller frees.
  PCCERT_CONTEXT certificate = nullptr;
  DWORD size = sizeof(PCCERT_CONTEXT);
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &certificate, &size)) return UniqueCertificate();
  return UniqueCertificate(certificate);
}

// The SSL policy's verdict for the host on a chain built with the machine's
// chain engine, whose roots are the machine's store alone.
DWORD MachinePolicyError(PCCERT_CONTEXT certificate, const std::wstring& host) {
  char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuth};
  CERT_CHAIN_PARA chainPara = {};
  chainPara.cbSize = sizeof(chainPara);
  chainPara.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  chainPara.RequestedUsage.Usage.cUsageIdentifier = 1;
  chainPara.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  UniqueChain chain;
  if (!CertGetCertificateChain(HCCE_LOCAL_MACHINE, certificate, nullptr, certificate->hCertStore, &chainPara, 0,
                               nullptr, chain.put())) {
    return GetLastError();
  }
  std::wstring name = host;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
  ssl.cbSize = sizeof(ssl);
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = &name[0];
  CERT_CHAIN_POLICY_PARA policy = {};
  policy.cbSize = sizeof(policy);
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status = {};
  status.cbSize = sizeof(status);
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain.get(), &policy, &status)) return GetLastError();
  return status.dwError;
}

// The machine's WinHTTP proxy (netsh winhttp set proxy), which Windows uses
// where the user's settings name none.
bool MachineProxyConfigured() {
  ProxyInfo machine;
  return WinHttpGetDefaultProxyConfiguration(&machine.info) &&
         machine.info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && machine.info.lpszProxy != nullptr;
}

uint64_t Ticks(const FILETIME& time) { return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime; }

bool SetProxyOption(HINTERNET request, const std::wstring& proxy, const wchar_t* bypass) {
  std::wstring proxyCopy = proxy;
  std::wstring bypassCopy = bypass != nullptr ? bypass : L"";
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = &proxyCopy[0];
  info.lpszProxyBypass = bypass != nullptr ? &bypassCopy[0] : nullptr;
  return WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info)) != FALSE;
}

}  // namespace

std::optional<std::string> SecureProtocolsWarning(const WinHttpClient& client, const char* what) {
  if (client.SecureProtocolsError() == 0) return std::nullopt;  // allowed, or no session opened
  return std::string("The system refused to allow TLS 1.2 for ") + what + ". Error code " +
         std::to_string(client.SecureProtocolsError()) + "; it goes on with the system's default protocols";
}

std::optional<std::string> UserTrustWarning(const WinHttpClient& client, const char* what) {
  if (!client.RefusedForUserTrustOnly()) return std::nullopt;
  return std::string("The server of ") + what +
         " has a certificate that chains to a root only the current user trusts, not the machine: it is refused";
}

WINHTTP_AUTOPROXY_OPTIONS ProxyQuery(ProxyLookup lookup, const wchar_t* configuredScriptUrl) {
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  if (lookup == ProxyLookup::kDetection) {
    options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    options.fAutoLogonIfChallenged = FALSE;
  } else {
    options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = configuredScriptUrl;
    options.fAutoLogonIfChallenged = TRUE;
  }
  return options;
}

UserProxySettings ReadUserProxySettings() {
  UserProxySettings settings;
  UserProxyConfig user;
  if (!WinHttpGetIEProxyConfigForCurrentUser(&user.config)) return settings;
  settings.read = true;
  settings.autoDetect = user.config.fAutoDetect != FALSE;
  if (user.config.lpszAutoConfigUrl != nullptr) settings.scriptUrl = user.config.lpszAutoConfigUrl;
  if (user.config.lpszProxy != nullptr) settings.proxy = user.config.lpszProxy;
  if (user.config.lpszProxyBypass != nullptr) settings.bypass = user.config.lpszProxyBypass;
  return settings;
}

WinHttpClient::WinHttpClient(std::wstring url) : url_(std::move(url)) {}

void WinHttpClient::SetTimeouts(int resolve, int connect, int send, int receive) {
  resolveTimeout_ = resolve;
  connectTimeout_ = connect;
  sendTimeout_ = send;
  receiveTimeout_ = receive;
}

void WinHttpClient::SetProxy(std::wstring proxy, std::wstring userName, std::wstring password) {
  proxy_ = std::move(proxy);
  proxyUserName_ = std::move(userName);
  proxyPassword_ = std::move(password);
}

void WinHttpClient::SetFixedCharset(std::wstring charset) {
  charsetFixed_ = true;
  charset_ = std::move(charset);
}

Status WinHttpClient::Perform(const std::wstring& verb) noexcept {
  lastError_ = 0;
  try {
    if (PerformRequest(verb)) return Status();
  } catch (const std::bad_alloc&) {
    lastError_ = ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    lastError_ = ERROR_INTERNAL_ERROR;
  }
  return Failure(lastError_ != 0 ? lastError_ : static_cast<uint32_t>(ERROR_INTERNAL_ERROR));
}

bool WinHttpClient::PerformRequest(const std::wstring& requestedVerb) {
  startedAt_ = GetTickCount64();
  deadlinePassed_ = false;
  if (url_.empty()) {
    lastError_ = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::wstring verb;
  if (EqualsIgnoringCase(requestedVerb, L"GET")) {
    verb = L"GET";
  } else if (EqualsIgnoringCase(requestedVerb, L"POST")) {
    verb = L"POST";
  } else {
    lastError_ = ERROR_INVALID_PARAMETER;
    return false;
  }

  proxySchemes_ = 0;
  proxyCredentialsGiven_ = false;
  userTrustOnly_ = false;
  refusedCertificate_.reset();
  if (!session_ && !OpenSession()) return false;
  WinHttpSetTimeouts(session_.get(), resolveTimeout_, connectTimeout_, sendTimeout_, receiveTimeout_);
  static_cast<void>(LimitWaitsToDeadline(session_.get()));
  AllowCurrentTls();

  // The query stays part of the path: no separate buffer for the extra info.
  wchar_t host[260] = {};
  wchar_t path[1300] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof(parts);
  parts.lpszHostName = host;
  parts.dwHostNameLength = ARRAYSIZE(host);
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = ARRAYSIZE(path);
  parts.dwSchemeLength = 1;
  if (!WinHttpCrackUrl(url_.c_str(), static_cast<DWORD>(url_.size()), 0, &parts)) {
    RecordError();
    return false;
  }
  hostName_ = host;
  port_ = parts.nPort;
  path_ = path;

  UniqueWinHttp connection(WinHttpConnect(session_.get(), host, parts.nPort, 0));
  if (!connection) {
    RecordError();
    return false;
  }
  const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  secure_ = secure;
  UniqueWinHttp request(WinHttpOpenRequest(connection.get(), verb.c_str(), path, nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) {
    RecordError();
    return false;
  }
  if (!strictCertificates_ && secure) {
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                  SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof(flags));
  }
  // Nor does WinHTTP log on by itself to a proxy that detection may have found.
  if (proxyOrigin_ == ProxyOrigin::kDetected) {
    DWORD policy = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_AUTOLOGON_POLICY, &policy, sizeof(policy))) {
      RecordError();
      return false;
    }
  }

  return RunAttempts(request, verb);
}

// The session carries the proxy: Wine honours a proxy set on a session only
// when it is opened with it, and so does every Windows.
bool WinHttpClient::OpenSession() {
  UserProxySettings settings;
  std::optional<FoundProxy> found;
  userSettingsApplied_ = proxy_.empty();
  if (userSettingsApplied_) {
    settings = ReadUserProxySettings();
    found = LookUpProxy(settings);
  }
  if (found && found->origin != ProxyOrigin::kDirect) {
    session_.reset(WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_NAMED_PROXY, found->proxy.c_str(),
                               found->bypass.empty() ? WINHTTP_NO_PROXY_BYPASS : found->bypass.c_str(), 0));
    proxyOrigin_ = found->origin;
    LOG(INFO) << "Requests go through the proxy " << Quoted(found->proxy) << ", " << DescribeProxyOrigin(found->origin);
  } else if (found) {
    session_.reset(WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    proxyOrigin_ = ProxyOrigin::kDirect;
  } else {
    // Windows before 8.1 refuses the automatic type; its default type takes
    // the machine's WinHTTP proxy.
    session_.reset(WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_) {
      session_.reset(WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0));
    }
    proxyOrigin_ = proxy_.empty() ? SystemProxyOrigin(settings) : ProxyOrigin::kExplicit;
    if (proxyOrigin_ == ProxyOrigin::kSystem && !MachineProxyConfigured()) proxyOrigin_ = ProxyOrigin::kDirect;
  }
  if (!session_) {
    RecordError();
    return false;
  }
  return true;
}

std::optional<WinHttpClient::FoundProxy> WinHttpClient::LookUpProxy(const UserProxySettings& settings) {
  for (const ProxyLookup lookup : ProxyLookups(settings)) {
    if (lookup == ProxyLookup::kConfiguredProxy) {
      return FoundProxy{ProxyOrigin::kConfiguredProxy, settings.proxy, settings.bypass};
    }
    if (auto found = QueryProxyScript(lookup, settings)) return found;
  }
  return std::nullopt;
}

// A failed query (no script, no detection's answer) leaves the next way to
// find a proxy; the request's own error stands for its failure.
std::optional<WinHttpClient::FoundProxy> WinHttpClient::QueryProxyScript(ProxyLookup lookup,
                                                                         const UserProxySettings& settings) {
  UniqueWinHttp lookupSession(
      WinHttpOpen(userAgent_.c_str(), WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!lookupSession) return std::nullopt;
  WinHttpSetTimeouts(lookupSession.get(), resolveTimeout_, connectTimeout_, sendTimeout_, receiveTimeout_);
  if (!LimitWaitsToDeadline(lookupSession.get())) return std::nullopt;
  WINHTTP_AUTOPROXY_OPTIONS options = ProxyQuery(lookup, settings.scriptUrl.c_str());
  ProxyInfo found;
  if (!WinHttpGetProxyForUrl(lookupSession.get(), url_.c_str(), &options, &found.info)) return std::nullopt;
  if (found.info.dwAccessType == WINHTTP_ACCESS_TYPE_NO_PROXY || found.info.lpszProxy == nullptr) {
    return FoundProxy{ProxyOrigin::kDirect, L"", L""};
  }
  return FoundProxy{lookup == ProxyLookup::kDetection ? ProxyOrigin::kDetected : ProxyOrigin::kConfiguredScript,
                    found.info.lpszProxy, found.info.lpszProxyBypass != nullptr ? found.info.lpszProxyBypass : L""};
}

// All attempts share the request handle, so options set on it (certificate
// flags, a proxy found after a failed send) carry over to the next one.
bool WinHttpClient::RunAttempts(UniqueWinHttp& request, const std::wstring& verb) {
  if (deadlineMs_ != 0) {
    const HINTERNET handle = request.get();
    watch_.emplace(RemainingMs(startedAt_, deadlineMs_, GetTickCount64()), [handle] { WinHttpCloseHandle(handle); });
  }
  // The watch ends before the request handle does, on every path; a handle
  // that the watch has closed is nobody's to close again. A call on it that
  // had begun before Fired() turned true fails as one on any closed handle:
  // no handle that could take the same value is open meanwhile (a proxy
  // script's download closes its own before the request is used again).
  const auto endWatch = [&]() {
    if (!watch_) return false;
    const bool fired = watch_->Stop();
    if (fired) static_cast<void>(request.release());
    watch_.reset();
    return fired;
  };
  bool completed = false;
  try {
    // A server that only the user's roots trust is refused at once: asking
    // again changes nothing.
    for (int attempt = 0; attempt < kAttempts && !completed && !userTrustOnly_ && !OutOfTime(); ++attempt) {
      completed = RunAttempt(request.get(), verb);
    }
  } catch (...) {
    endWatch();
    throw;
  }
  const bool fired = endWatch();
  if (!completed && deadlineMs_ != 0 && (fired || RemainingMs(startedAt_, deadlineMs_, GetTickCount64()) == 0)) {
    lastError_ = ERROR_WINHTTP_TIMEOUT;
    deadlinePassed_ = true;
  }
  return completed;
}

bool WinHttpClient::OutOfTime() const {
  if (deadlineMs_ == 0) return false;
  return (watch_ && watch_->Fired()) || RemainingMs(startedAt_, deadlineMs_, GetTickCount64()) == 0;
}

// Gives the next calls on the handle (a session's or a request's) time-outs
// that end within the deadline; false once it has passed.
bool WinHttpClient::LimitWaitsToDeadline(HINTERNET handle) {
  if (deadlineMs_ == 0) return true;
  if (OutOfTime()) return false;
  const uint32_t left = RemainingMs(startedAt_, deadlineMs_, GetTickCount64());
  WinHttpSetTimeouts(handle, TimeoutWithin(resolveTimeout_, left), TimeoutWithin(connectTimeout_, left),
                     TimeoutWithin(sendTimeout_, left), TimeoutWithin(receiveTimeout_, left));
  // The wait for the response's headers has a limit of its own.
  DWORD responseTimeout = static_cast<DWORD>(TimeoutWithin(0, left));
  WinHttpSetOption(handle, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof(responseTimeout));
  return true;
}

// Windows without TLS 1.3 refuses its flag; an unpatched Windows 7 refuses
// TLS 1.2 too, and the request then goes on with what the system offers.
void WinHttpClient::AllowCurrentTls() {
  secureProtocols_ = 0;
  secureProtocolsError_ = 0;
  for (DWORD protocols : kSecureProtocolChoices) {
    if (WinHttpSetOption(session_.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) {
      secureProtocols_ = protocols;
      secureProtocolsError_ = 0;
      return;
    }
    secureProtocolsError_ = GetLastError();
  }
}

bool WinHttpClient::RunAttempt(HINTERNET request, const std::wstring& verb) {
  if (!LimitWaitsToDeadline(request)) return false;
  AddRequestOptions(request);
  if (!SendAndReceive(request)) return false;
  if (AnswerProxyChallenge(request) && !SendAndReceive(request)) return false;
  if (!TrustedByMachine(request)) return false;
  if (!ReadBody(request)) return false;
  LogResponse();
  DecodeBody();

  if (verb == L"GET" && !IsCompleteHtml()) {
    lastError_ = ERROR_INVALID_DATA;
    return false;
  }
  return true;
}

// Headers, cookies and the program's own proxy, again at every attempt.
void WinHttpClient::AddRequestOptions(HINTERNET request) {
  const DWORD coalesce = WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON;
  if (!extraHeaders_.empty() &&
      !WinHttpAddRequestHeaders(request, extraHeaders_.c_str(), static_cast<DWORD>(extraHeaders_.size()), coalesce)) {
    RecordError();
  }
  if (!requestCookies_.empty()) {
    const std::wstring cookie = L"Cookie: " + requestCookies_;
    if (!WinHttpAddRequestHeaders(request, cookie.c_str(), static_cast<DWORD>(cookie.size()), coalesce)) {
      RecordError();
    }
  }
  if (proxy_.empty()) return;
  if (!SetProxyOption(request, proxy_, nullptr)) RecordError();
  if (proxyUserName_.empty()) return;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_PROXY_USERNAME, &proxyUserName_[0],
                        static_cast<DWORD>(proxyUserName_.size() * sizeof(wchar_t)))) {
    RecordError();
  }
  if (!proxyPassword_.empty() && !WinHttpSetOption(request, WINHTTP_OPTION_PROXY_PASSWORD, &proxyPassword_[0],
                                                   static_cast<DWORD>(proxyPassword_.size() * sizeof(wchar_t)))) {
    RecordError();
  }
}

// Sends the request, writes its body and reads the answer's head.
bool WinHttpClient::SendAndReceive(HINTERNET request) {
  if (!SendRequest(request)) {
    // Kept unless the proxy's road fails in a way of its own: it is what
    // stands behind a failed request in the log.
    RecordError();
    InspectRefusedCertificate();
    // The user's settings are read again only where they did not choose
    // the session's proxy: behind the program's own proxy.
    if (userSettingsApplied_ || !SendThroughUserProxy(request)) return false;
  }
  if (!requestBody_.empty()) {
    DWORD written = 0;
    if (!WinHttpWriteData(request, requestBody_.data(), static_cast<DWORD>(requestBody_.size()), &written)) {
      RecordError();
    }
  }
  if (!LimitWaitsToDeadline(request)) return false;
  if (!WinHttpReceiveResponse(request, nullptr)) {
    RecordError();
    InspectRefusedCertificate();
    return false;
  }
  ReadResponseHeaders(request);
  ReadStatusCode(request);
  return true;
}

// A proxy's 407 is answered once, with the signed-in user's own logon and
// only where ProxySchemeToAnswer allows; otherwise the 407 is the answer.
bool WinHttpClient::AnswerProxyChallenge(HINTERNET request) {
  // A proxy the program gave credentials for is answered by WinHTTP with them.
  if (statusCode_ != L"407" || !proxyUserName_.empty()) return false;
  DWORD supported = 0;
  DWORD first = 0;
  DWORD target = 0;
  if (!WinHttpQueryAuthSchemes(request, &supported, &first, &target) || target != WINHTTP_AUTH_TARGET_PROXY) {
    return false;
  }
  proxySchemes_ = supported;
  const uint32_t scheme = ProxySchemeToAnswer(supported, proxyOrigin_, proxyCredentialsGiven_);
  if (scheme == 0) return false;
  // No name and no password: the credentials of the user the stub runs as.
  if (!WinHttpSetCredentials(request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr)) {
    RecordError();
    return false;
  }
  proxyCredentialsGiven_ = true;
  return true;
}

bool WinHttpClient::TrustedByMachine(HINTERNET request) {
  if (!strictCertificates_ || !secure_) return true;
  const UniqueCertificate certificate = ServerCertificate(request);
  // A proxy's own answer to the tunnel's request (407, 403, 502) comes
  // before any TLS: it has no certificate, and carries no document.
  if (!certificate && statusCode_ != L"200") return true;
  const DWORD verdict = certificate ? MachinePolicyError(certificate.get(), hostName_) : GetLastError();
  if (verdict == 0) return true;
  userTrustOnly_ = true;
  lastError_ = verdict;
  return false;
}

// Once per request, after TLS refused the server of a strict request: a
// second connection that ignores the refusal reads the certificate, sends a
// HEAD and reads nothing, so that the log can tell a wrong clock from an
// untrusted or misnamed certificate.
void WinHttpClient::InspectRefusedCertificate() {
  if (!strictCertificates_ || !secure_ || refusedCertificate_ || !IsTlsRefusal(lastError_)) return;
  UniqueWinHttp connection(WinHttpConnect(session_.get(), hostName_.c_str(), port_, 0));
  if (!connection) return;
  UniqueWinHttp probe(WinHttpOpenRequest(connection.get(), L"HEAD", path_.c_str(), nullptr, WINHTTP_NO_REFERER,
                                         WINHTTP_DEFAULT_ACCEPT_TYPES, WINHTTP_FLAG_SECURE));
  if (!probe || !LimitWaitsToDeadline(probe.get())) return;
  DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                 SECURITY_FLAG_IGNORE_CERT_DATE_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
  WinHttpSetOption(probe.get(), WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof(ignore));
  if (!WinHttpSendRequest(probe.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) return;
  const UniqueCertificate certificate = ServerCertificate(probe.get());
  if (!certificate) return;
  FILETIME now = {};
  GetSystemTimeAsFileTime(&now);
  RefusedCertificate seen;
  seen.notBefore = Ticks(certificate.get()->pCertInfo->NotBefore);
  seen.notAfter = Ticks(certificate.get()->pCertInfo->NotAfter);
  seen.now = Ticks(now);
  seen.policyError = MachinePolicyError(certificate.get(), hostName_);
  refusedCertificate_ = seen;
}

bool WinHttpClient::SendRequest(HINTERNET request) {
  // The body's length is announced, so that the server sees a Content-Length
  // for the data written after the send.
  return WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            static_cast<DWORD>(requestBody_.size()), 0) != FALSE;
}

// After a failed send through the program's own proxy: the proxy the user's
// settings find is set on the request and tried at once.
bool WinHttpClient::SendThroughUserProxy(HINTERNET request) {
  const UserProxySettings settings = ReadUserProxySettings();
  if (!settings.read) {
    RecordError();
    return false;
  }
  const std::optional<FoundProxy> found = LookUpProxy(settings);
  if (!found || found->origin == ProxyOrigin::kDirect) return false;
  if (!LimitWaitsToDeadline(request)) return false;
  if (!SetProxyOption(request, found->proxy, found->bypass.empty() ? nullptr : found->bypass.c_str())) {
    RecordError();
    return false;
  }
  proxyOrigin_ = found->origin;
  return SendRequest(request);
}

void WinHttpClient::ReadResponseHeaders(HINTERNET request) {
  if (!QueryHeaderText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, rawHeaders_)) return;

  std::vector<std::wstring> captures;
  if (!charsetFixed_ && Scan(L"charset={[A-Za-z0-9\\-_]+}", rawHeaders_, captures)) {
    charset_ = captures.front();
  }
  if (Scan(L"Content-Length: {[0-9]+}", rawHeaders_, captures)) {
    const unsigned long long length = wcstoull(captures.front().c_str(), nullptr, 10);
    contentLength_ = static_cast<uint32_t>(length > 0xFFFFFFFFull ? 0xFFFFFFFFull : length);
  }
  if (Scan(L"Set-Cookie:\\b*{.+?}\\n", rawHeaders_, captures)) {
    std::wstring cookies = responseCookies_;
    for (size_t i = 0; i < captures.size(); ++i) {
      if (i > 0) cookies += L"; ";
      cookies += captures[i];
    }
    const size_t first = cookies.find_first_not_of(L' ');
    const size_t last = cookies.find_last_not_of(L' ');
    cookies = first == std::wstring::npos ? std::wstring() : cookies.substr(first, last - first + 1);
    if (!cookies.empty() && cookies.back() != L';') cookies += L';';
    responseCookies_ = cookies;
  }
}

// Every answer, a repeated attempt's too, so that a mailed log shows what
// each server said. The query is left out: it may be long, and it says
// nothing about the server.
void WinHttpClient::LogResponse() const {
  const std::wstring address = url_.substr(0, url_.find(L'?'));
  LOG(INFO) << "HTTP status " << LogText(statusCode_.empty() ? std::wstring(L"(none)") : statusCode_) << " and "
            << responseByteCount_ << " bytes from " << Quoted(address);
}

void WinHttpClient::ReadStatusCode(HINTERNET request) {
  QueryHeaderText(request, WINHTTP_QUERY_STATUS_CODE, statusCode_);
  contentType_.clear();
  QueryHeaderText(request, WINHTTP_QUERY_CONTENT_TYPE, contentType_);
}

bool WinHttpClient::ReadBody(HINTERNET request) {
  responseBytes_.clear();
  responseBytes_.shrink_to_fit();
  responseByteCount_ = 0;
  std::vector<uint8_t> body(kInitialBodyCapacity, 0);
  size_t count = 0;
  const auto report = [&]() {
    if (progress_ && contentLength_ != 0) {
      progress_(static_cast<double>(static_cast<uint32_t>(count)) * 100.0 / contentLength_);
    }
  };

  DWORD available = 0;
  do {
    available = 0;
    // A body cut off by the deadline is no body.
    if (!LimitWaitsToDeadline(request)) return false;
    if (!WinHttpQueryDataAvailable(request, &available)) {
      RecordError();
      if (OutOfTime()) return false;
      available = 0;
      break;
    }
    report();
    if (available == 0) break;
    if (count + available > maxResponseBytes_) {
      lastError_ = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    std::vector<uint8_t> chunk(static_cast<size_t>(available) + 1, 0);
    DWORD read = 0;
    if (WinHttpReadData(request, chunk.data(), available, &read) && read > 0) {
      // At least one zero byte always follows the data.
      if (count + read + 1 > body.size()) {
        size_t capacity = body.size();
        while (count + read + 1 > capacity) capacity *= 2;
        body.resize(capacity, 0);
      }
      std::copy(chunk.begin(), chunk.begin() + read, body.begin() + static_cast<std::ptrdiff_t>(count));
      count += read;
    } else if (OutOfTime()) {
      return false;
    }
  } while (available > 0);

  report();
  responseBytes_ = std::move(body);
  responseByteCount_ = static_cast<uint32_t>(count);
  return true;
}

void WinHttpClient::DecodeBody() {
  UINT codePage = CP_ACP;
  DWORD flags = MB_PRECOMPOSED;
  if (StartsWithIgnoringCase(charset_, L"utf-8")) {
    codePage = CP_UTF8;
    flags = 0;
  }
  const char* bytes = reinterpret_cast<const char*>(responseBytes_.data());
  const int byteCount = static_cast<int>(responseByteCount_) + 1;  // with the zero after the data
  int length = MultiByteToWideChar(codePage, flags, bytes, byteCount, nullptr, 0);
  if (length <= 0) {
    codePage = CP_ACP;
    flags = MB_PRECOMPOSED;
    length = MultiByteToWideChar(codePage, flags, bytes, byteCount, nullptr, 0);
    if (length <= 0) return;
  }
  std::vector<wchar_t> text(static_cast<size_t>(length), L'\0');
  if (MultiByteToWideChar(codePage, flags, bytes, byteCount, text.data(), length) > 0) {
    responseText_.assign(text.data());  // up to the first zero character
  }
}

// A GET answer that opens an HTML document must also close it; otherwise the
// transfer was cut and the attempt is repeated.
bool WinHttpClient::IsCompleteHtml() const {
  std::vector<std::wstring> captures;
  if (!Scan(L"{<html>}", responseText_, captures)) return true;
  return Scan(L"{</html>}", responseText_, captures);
}
