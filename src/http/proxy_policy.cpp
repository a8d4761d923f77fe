#include "http/proxy_policy.h"

std::vector<ProxyLookup> ProxyLookups(const UserProxySettings& settings) {
  std::vector<ProxyLookup> lookups;
  if (!settings.read) return lookups;
  if (!settings.scriptUrl.empty()) lookups.push_back(ProxyLookup::kConfiguredScript);
  if (settings.autoDetect) lookups.push_back(ProxyLookup::kDetection);
  if (!settings.proxy.empty()) lookups.push_back(ProxyLookup::kConfiguredProxy);
  return lookups;
}

ProxyOrigin SystemProxyOrigin(const UserProxySettings& settings) {
  return settings.read && !settings.autoDetect ? ProxyOrigin::kSystem : ProxyOrigin::kDetected;
}

bool MayReceiveDefaultCredentials(ProxyOrigin origin) {
  switch (origin) {
    case ProxyOrigin::kExplicit:
    case ProxyOrigin::kConfiguredScript:
    case ProxyOrigin::kConfiguredProxy:
    case ProxyOrigin::kSystem: return true;
    case ProxyOrigin::kDirect:
    case ProxyOrigin::kDetected: break;
  }
  return false;
}

uint32_t ProxySchemeToAnswer(uint32_t offered, ProxyOrigin origin, bool answeredBefore) {
  if (answeredBefore || !MayReceiveDefaultCredentials(origin)) return 0;
  if ((offered & kAuthNegotiate) != 0) return kAuthNegotiate;
  if ((offered & kAuthNtlm) != 0) return kAuthNtlm;
  return 0;
}

std::string DescribeAuthSchemes(uint32_t schemes) {
  static const struct {
    uint32_t scheme;
    const char* name;
  } kNames[] = {{kAuthNegotiate, "Negotiate"},
                {kAuthNtlm, "NTLM"},
                {kAuthBasic, "Basic"},
                {kAuthDigest, "Digest"},
                {kAuthPassport, "Passport"}};
  std::string text;
  for (const auto& name : kNames) {
    if ((schemes & name.scheme) == 0) continue;
    if (!text.empty()) text += ", ";
    text += name.name;
  }
  return text.empty() ? "none" : text;
}

std::string DescribeProxyOrigin(ProxyOrigin origin) {
  switch (origin) {
    case ProxyOrigin::kDirect: return "no proxy";
    case ProxyOrigin::kExplicit: return "the program's own proxy";
    case ProxyOrigin::kConfiguredScript: return "the auto-configuration script of the Internet settings";
    case ProxyOrigin::kConfiguredProxy: return "the proxy named in the Internet settings";
    case ProxyOrigin::kDetected: return "a proxy that automatic detection may have found";
    case ProxyOrigin::kSystem: break;
  }
  return "the proxy Windows chose from the machine's settings";
}
