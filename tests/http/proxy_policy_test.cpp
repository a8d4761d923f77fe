// Which proxy a request takes and which proxies get the signed-in user's
// credentials: decisions on the facts Windows reports, so that what Wine
// can't show (detection, Negotiate and NTLM) is checked here.
#include "http/proxy_policy.h"

#include <gtest/gtest.h>

namespace {

UserProxySettings Settings(bool autoDetect, const wchar_t* script, const wchar_t* proxy, bool read = true) {
  UserProxySettings settings;
  settings.read = read;
  settings.autoDetect = autoDetect;
  settings.scriptUrl = script;
  settings.proxy = proxy;
  return settings;
}

}  // namespace

TEST(ProxyLookups, AConfiguredScriptComesBeforeDetectionAndTheNamedProxy) {
  using L = ProxyLookup;
  const struct {
    UserProxySettings settings;
    std::vector<ProxyLookup> lookups;
    ProxyOrigin system;  // whose proxy Windows chooses when none decides
  } cases[] = {
      {Settings(false, L"", L""), {}, ProxyOrigin::kSystem},
      {Settings(true, L"", L""), {L::kDetection}, ProxyOrigin::kDetected},
      {Settings(false, L"", L"proxy:3128"), {L::kConfiguredProxy}, ProxyOrigin::kSystem},
      {Settings(true, L"http://pac/p.pac", L"proxy:3128"),
       {L::kConfiguredScript, L::kDetection, L::kConfiguredProxy},
       ProxyOrigin::kDetected},
      // Unread settings: Windows alone decides, and may have detected it.
      {Settings(true, L"http://pac/p.pac", L"proxy:3128", false), {}, ProxyOrigin::kDetected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.settings.autoDetect << c.settings.read << " " << c.settings.proxy);
    EXPECT_EQ(ProxyLookups(c.settings), c.lookups);
    EXPECT_EQ(SystemProxyOrigin(c.settings), c.system);
  }
}

TEST(ProxySchemeToAnswer, OnlyNegotiateOrNtlmOnceAndOnlyToAConfiguredProxy) {
  const struct {
    uint32_t offered;
    ProxyOrigin origin;
    bool answeredBefore;
    uint32_t answer;
  } cases[] = {
      {kAuthNegotiate | kAuthNtlm | kAuthBasic, ProxyOrigin::kConfiguredProxy, false, kAuthNegotiate},
      {kAuthNtlm | kAuthBasic, ProxyOrigin::kConfiguredScript, false, kAuthNtlm},
      {kAuthNtlm, ProxyOrigin::kSystem, false, kAuthNtlm},
      {kAuthNegotiate, ProxyOrigin::kExplicit, false, kAuthNegotiate},
      {kAuthBasic | kAuthDigest | kAuthPassport, ProxyOrigin::kConfiguredProxy, false, 0},  // a password's schemes
      {kAuthNegotiate | kAuthNtlm, ProxyOrigin::kDetected, false, 0},        // any machine of the network
      {kAuthNtlm, ProxyOrigin::kDirect, false, 0},                           // a server, not a proxy
      {kAuthNegotiate | kAuthNtlm, ProxyOrigin::kConfiguredProxy, true, 0},  // refused once: no second try
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProxySchemeToAnswer(c.offered, c.origin, c.answeredBefore), c.answer)
        << DescribeAuthSchemes(c.offered) << " from " << DescribeProxyOrigin(c.origin) << " again " << c.answeredBefore;
  }
}
