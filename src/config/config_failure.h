// What ended a configuration request that brought no document, told in terms
// a user or a network's administrator can act on. Needs no Windows header:
// the facts are WinHTTP's error numbers, the answer's status and what the
// request saw of the proxy and the server's certificate.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/certificate_facts.h"
#include "http/proxy_policy.h"

enum class ConfigFailure {
  kNameNotResolved,
  kNoConnection,          // refused, unreachable, dropped or timed out
  kProxyCredentials,      // a proxy wants credentials the stub can't give
  kCertificateDates,      // the certificate is not yet or no longer valid: often the clock
  kCertificateUntrusted,  // an untrusted root or another name: often an inspecting proxy
  kBlocked,               // 403 or 451: the network, a filter or the country
  kSignInPage,            // a 200 answer that is an HTML page: a network's sign-in page
  kOtherStatus,
  kOther,
};

struct ConfigRequestFacts {
  uint32_t error = 0;  // the request's error; 0 when an answer came
  bool deadlinePassed = false;
  // WinHTTP accepted the certificate, the machine's roots did not: a root
  // that only the current user trusts.
  bool userTrustOnly = false;
  std::optional<RefusedCertificate> certificate;  // when TLS refused the server
  std::wstring status;                            // the answer's HTTP status; empty when none came
  std::wstring contentType;
  std::wstring body;
  uint32_t proxySchemes = 0;  // what a 407 offered
  bool proxyAnswered = false;
  ProxyOrigin proxyOrigin = ProxyOrigin::kDirect;
};

// A 200 answer that is no document but a web page: declared as HTML and
// starting with a tag, where JSON starts with a brace.
bool IsHtmlPage(const std::wstring& contentType, const std::wstring& body);

// The class of a request that failed, or whose answer was not the document.
ConfigFailure ClassifyConfigFailure(const ConfigRequestFacts& facts);

// The ERROR record for it, with its evidence (the error, the status, the
// times, the proxy's schemes).
std::string ConfigFailureRecord(ConfigFailure failure, const ConfigRequestFacts& facts);
