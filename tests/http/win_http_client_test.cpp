#include "http/win_http_client.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "support/test_servers.h"

using namespace test_servers;

namespace {

std::wstring Encode(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (iswalnum(c) || c == L'/' || c == L'-' || c == L'_' || c == L'.') {
      out += c;
    } else {
      wchar_t hex[8];
      swprintf(hex, 8, L"%%%02X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  return out;
}

// How many requests for this exact target the fixture server has seen.
int CountRequests(const std::wstring& target) {
  WinHttpClient client(Http(L"/_count?target=" + Encode(target)));
  if (!client.Perform(L"GET")) return -1;
  return _wtoi(client.ResponseText().c_str());
}

std::wstring Get(const std::wstring& url) {
  WinHttpClient client(url);
  EXPECT_EQ(ErrorOf(client.Perform(L"GET")), 0u);
  return client.ResponseText();
}

std::wstring Ansi(const std::string& bytes) {
  const int length = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> text(static_cast<size_t>(length));
  MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, bytes.c_str(), -1, text.data(), length);
  return text.data();
}

const char kCharsetBytes[] = "na\xc3\xafve caf\xc3\xa9 \xe2\x98\x83";

}  // namespace

TEST(WinHttpClientArguments, EmptyUrlAndUnknownVerbFailBeforeAnyTraffic) {
  WinHttpClient empty(L"");
  EXPECT_EQ(ErrorOf(empty.Perform(L"GET")), 3u);

  const std::wstring path = UniquePath(L"/echo");
  WinHttpClient put(Http(path));
  EXPECT_EQ(ErrorOf(put.Perform(L"PUT")), 87u);
  EXPECT_EQ(put.HostName(), L"");  // the URL was not even split
  EXPECT_EQ(CountRequests(path), 0);
}

TEST(WinHttpClientArguments, DefaultsAreThoseOfTheStub) {
  WinHttpClient client(L"http://example.invalid/");
  EXPECT_EQ(client.UserAgent(), L"WinHttpClient");
  EXPECT_FALSE(client.StrictCertificates());
  EXPECT_EQ(client.ResponseText(), L"");
}

TEST(WinHttpClientRequest, VerbIsSentInUpperCaseWithTheUserAgentAndQuery) {
  WinHttpClient get(Http(L"/echo?x=1&y=two"));
  ASSERT_TRUE(get.Perform(L"get"));
  const std::wstring echo = get.ResponseText();
  EXPECT_EQ(echo.rfind(L"GET /echo?x=1&y=two", 0), 0u) << echo;
  EXPECT_NE(echo.find(L"User-Agent: WinHttpClient\n"), std::wstring::npos) << echo;
  EXPECT_EQ(get.HostName(), L"127.0.0.1");
  EXPECT_EQ(get.StatusCode(), L"200");

  WinHttpClient post(Http(L"/echo"));
  ASSERT_TRUE(post.Perform(L"Post"));
  EXPECT_EQ(post.ResponseText().rfind(L"POST /echo", 0), 0u) << post.ResponseText();
}

TEST(WinHttpClientRequest, PostBodyReachesTheServerWithItsLength) {
  WinHttpClient post(Http(L"/echo"));
  post.SetRequestBody({'k', '=', 'v'});
  ASSERT_TRUE(post.Perform(L"POST"));
  EXPECT_NE(post.ResponseText().find(L"Content-Length: 3"), std::wstring::npos) << post.ResponseText();
  EXPECT_NE(post.ResponseText().find(L"k=v"), std::wstring::npos);
}

TEST(WinHttpClientRequest, ErrorStatusesStillYieldTheirBody) {
  for (const wchar_t* status : {L"404", L"500"}) {
    WinHttpClient client(Http(std::wstring(L"/status/") + status));
    ASSERT_TRUE(client.Perform(L"GET"));
    EXPECT_EQ(client.StatusCode(), status);
    EXPECT_EQ(client.ResponseText(), std::wstring(L"status ") + status);
  }
}

TEST(WinHttpClientRequest, OverlongPathFailsWhenTheUrlIsSplit) {
  WinHttpClient client(Http(L"/echo?" + std::wstring(1300, L'a')));
  EXPECT_FALSE(client.Perform(L"GET"));

  WinHttpClient fits(Http(L"/echo?" + std::wstring(1200, L'a')));
  EXPECT_TRUE(fits.Perform(L"GET"));
}

TEST(WinHttpClientDecoding, Utf8OnlyForACharsetStartingWithUtf8) {
  WinHttpClient utf8(Http(L"/charset/utf-8"));
  ASSERT_TRUE(utf8.Perform(L"GET"));
  EXPECT_EQ(utf8.ResponseText(), L"na\u00efve caf\u00e9 \u2603");
  EXPECT_EQ(utf8.ResponseCharset(), L"UTF-8");

  for (const wchar_t* path : {L"/charset/utf8", L"/charset/none"}) {
    WinHttpClient ansi(Http(path));
    ASSERT_TRUE(ansi.Perform(L"GET"));
    EXPECT_EQ(ansi.ResponseText(), Ansi(kCharsetBytes)) << path;
  }
}

TEST(WinHttpClientDecoding, TextEndsAtTheFirstZeroByte) {
  WinHttpClient client(Http(L"/zero"));
  ASSERT_TRUE(client.Perform(L"GET"));
  EXPECT_EQ(client.ResponseText(), L"abc");
  EXPECT_EQ(client.ResponseByteCount(), 7u);
}

TEST(WinHttpClientBody, EmptyExactAndLargeBodiesAreReadWhole) {
  WinHttpClient empty(Http(L"/empty"));
  ASSERT_TRUE(empty.Perform(L"GET"));
  EXPECT_EQ(empty.ResponseText(), L"");
  EXPECT_EQ(empty.ResponseByteCount(), 0u);

  for (unsigned size : {10239u, 10240u, 10241u, 65536u, 300001u}) {
    WinHttpClient client(Http(L"/bytes/" + std::to_wstring(size)));
    ASSERT_TRUE(client.Perform(L"GET")) << size;
    EXPECT_EQ(client.ResponseByteCount(), size);
    EXPECT_EQ(client.ResponseText().size(), size);
    EXPECT_EQ(client.ContentLength(), size);
    EXPECT_EQ(client.ResponseBytes()[size], 0) << "the data must be followed by a zero byte";
  }
}

TEST(WinHttpClientBody, ProgressRisesToOneHundred) {
  WinHttpClient client(Http(L"/bytes/200000"));
  std::vector<double> seen;
  client.SetProgressCallback([&](double percent) { seen.push_back(percent); });
  ASSERT_TRUE(client.Perform(L"GET"));
  ASSERT_FALSE(seen.empty());
  for (size_t i = 1; i < seen.size(); ++i) EXPECT_GE(seen[i], seen[i - 1]);
  EXPECT_DOUBLE_EQ(seen.back(), 100.0);
}

TEST(WinHttpClientBody, OversizedBodyFailsWithNotEnoughMemory) {
  WinHttpClient client(Http(L"/bytes/100001"));
  client.SetMaxResponseBytes(100000);
  EXPECT_EQ(ErrorOf(client.Perform(L"GET")), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(client.ResponseByteCount(), 0u);

  WinHttpClient fits(Http(L"/bytes/100000"));
  fits.SetMaxResponseBytes(100000);
  EXPECT_TRUE(fits.Perform(L"GET"));
}

TEST(WinHttpClientHeaders, CookiesAreGatheredOnceEach) {
  WinHttpClient client(Http(L"/cookies"));
  ASSERT_TRUE(client.Perform(L"GET"));
  EXPECT_EQ(client.ResponseCookies(), L"a=1; path=/; b=2;");

  WinHttpClient dup(Http(L"/cookies/dup"));
  ASSERT_TRUE(dup.Perform(L"GET"));
  EXPECT_EQ(dup.ResponseCookies(), L"X=1;");
}

TEST(WinHttpClientHeaders, RawHeadersAndContentLengthAreKept) {
  WinHttpClient client(Http(L"/bytes/123"));
  ASSERT_TRUE(client.Perform(L"GET"));
  EXPECT_EQ(client.RawResponseHeaders().rfind(L"HTTP/1.1 200", 0), 0u);
  EXPECT_NE(client.RawResponseHeaders().find(L"\r\n"), std::wstring::npos);
  EXPECT_EQ(client.ContentLength(), 123u);
}

TEST(WinHttpClientCompleteness, UnclosedHtmlIsRequestedThreeTimesForGetOnly) {
  const std::wstring path = UniquePath(L"/html/incomplete");
  WinHttpClient get(Http(path));
  EXPECT_EQ(ErrorOf(get.Perform(L"GET")), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(CountRequests(path), 3);

  const std::wstring postPath = UniquePath(L"/html/incomplete");
  WinHttpClient post(Http(postPath));
  EXPECT_TRUE(post.Perform(L"POST"));
  EXPECT_EQ(post.ResponseText(), L"<HTML><body>cut");
  EXPECT_EQ(CountRequests(postPath), 1);

  const std::wstring completePath = UniquePath(L"/html/complete");
  EXPECT_EQ(Get(Http(completePath)), L"<html><body>ok</body></html>");
  EXPECT_EQ(CountRequests(completePath), 1);
}

TEST(WinHttpClientCertificates, ByDefaultCertificateErrorsAreIgnored) {
  for (const std::wstring& url : {SelfSigned(L"/echo"), Expired(L"/echo"), WrongName(L"/echo"), Https(L"/echo")}) {
    WinHttpClient client(url);
    EXPECT_EQ(ErrorOf(client.Perform(L"GET")), 0u);
  }
}

TEST(WinHttpClientCertificates, StrictCertificatesAcceptOnlyATrustedServer) {
  for (const std::wstring& url : {SelfSigned(L"/echo"), Expired(L"/echo"), WrongName(L"/echo")}) {
    WinHttpClient client(url);
    client.SetStrictCertificates(true);
    // The send's own error: the certificate, not the proxy settings tried after it.
    const uint32_t error = ErrorOf(client.Perform(L"GET"));
    EXPECT_TRUE(error == ERROR_WINHTTP_SECURE_FAILURE || error == ERROR_WINHTTP_SECURE_CHANNEL_ERROR) << error;
  }
  WinHttpClient trusted(Https(L"/echo"));
  trusted.SetStrictCertificates(true);
  EXPECT_EQ(ErrorOf(trusted.Perform(L"GET")), 0u);
  EXPECT_EQ(trusted.ResponseText().rfind(L"GET /echo", 0), 0u);
}

// What the log says about a refused server comes from its certificate, read
// over a second connection that ignores the refusal.
TEST(WinHttpClientCertificates, ARefusedCertificateIsReadForTheRecord) {
  const struct {
    std::wstring url;
    bool validNow;
    uint32_t policyError;
  } cases[] = {
      {Expired(L"/echo"), false, static_cast<uint32_t>(CERT_E_EXPIRED)},
      {WrongName(L"/echo"), true, static_cast<uint32_t>(CERT_E_CN_NO_MATCH)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.url.begin(), c.url.end()));
    WinHttpClient client(c.url);
    client.SetStrictCertificates(true);
    EXPECT_NE(ErrorOf(client.Perform(L"GET")), 0u);
    EXPECT_FALSE(client.RefusedForUserTrustOnly());
    const auto& seen = client.RefusedServerCertificate();
    ASSERT_TRUE(seen.has_value());
    EXPECT_EQ(seen->ValidNow(), c.validNow);
    EXPECT_EQ(seen->policyError, c.policyError);
  }
}

TEST(WinHttpClientTls, EveryRequestAllowsTls12) {
  WinHttpClient client(Https(L"/echo"));
  client.SetStrictCertificates(true);
  ASSERT_EQ(ErrorOf(client.Perform(L"GET")), 0u);
  EXPECT_NE(client.SecureProtocols() & WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2, 0u);
  EXPECT_EQ(SecureProtocolsWarning(client, "the test"), std::nullopt);
  // A request that never opened a session was refused nothing.
  WinHttpClient unsent(L"");
  EXPECT_FALSE(unsent.Perform(L"GET"));
  EXPECT_EQ(unsent.SecureProtocols(), 0u);
  EXPECT_EQ(SecureProtocolsWarning(unsent, "the test"), std::nullopt);
}

TEST(WinHttpClientProxy, CredentialsGoOnlyToTheConfiguredScriptServer) {
  const wchar_t script[] = L"http://wpad.corp.example/proxy.pac";
  const WINHTTP_AUTOPROXY_OPTIONS detecting = ProxyQuery(ProxyLookup::kDetection, script);
  EXPECT_EQ(detecting.dwFlags, static_cast<DWORD>(WINHTTP_AUTOPROXY_AUTO_DETECT));
  EXPECT_EQ(detecting.dwAutoDetectFlags,
            static_cast<DWORD>(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A));
  EXPECT_FALSE(detecting.fAutoLogonIfChallenged);
  EXPECT_EQ(detecting.lpszAutoConfigUrl, nullptr);
  const WINHTTP_AUTOPROXY_OPTIONS configured = ProxyQuery(ProxyLookup::kConfiguredScript, script);
  EXPECT_EQ(configured.dwFlags, static_cast<DWORD>(WINHTTP_AUTOPROXY_CONFIG_URL));
  EXPECT_EQ(configured.dwAutoDetectFlags, 0u);
  EXPECT_TRUE(configured.fAutoLogonIfChallenged);
  EXPECT_EQ(configured.lpszAutoConfigUrl, script);
}

// Each of these would keep a request for far longer than its deadline: every
// single call gets a byte now and then, or waits within its own time-out.
TEST(WinHttpClientDeadline, EndsARequestWhateverTheServerDoes) {
  const struct {
    const wchar_t* what;
    std::wstring path;
  } servers[] = {
      {L"a trickle of 20 bytes a second", L"/bytes/400?_rate=20"},
      {L"a server that accepts and does not answer", L"/slow?ms=60000"},
      {L"headers, then silence", L"/bytes/100?_stall=10000"},
  };
  for (const auto& server : servers) {
    SCOPED_TRACE(server.what);
    WinHttpClient client(Http(UniquePath(server.path)));
    client.SetDeadline(2000);
    const ULONGLONG started = GetTickCount64();
    const uint32_t error = ErrorOf(client.Perform(L"GET"));
    const ULONGLONG took = GetTickCount64() - started;
    EXPECT_TRUE(client.DeadlinePassed());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_WINHTTP_TIMEOUT));
    EXPECT_GE(took, 1900u);
    EXPECT_LT(took, 6000u);  // the time-outs of a single call are 30 s and more
  }
}
