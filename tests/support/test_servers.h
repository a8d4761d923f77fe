// The loopback fixture server that the unit tests reach under Wine (started by
// ctest; see tests/fixtures/unit_servers.sh), and small helpers around it.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"

namespace test_servers {

#define STUB_WIDEN2(x) L## #x
#define STUB_WIDEN(x) STUB_WIDEN2(x)

inline std::wstring Http(const std::wstring& path) {
  return L"http://127.0.0.1:" STUB_WIDEN(STUB_UNIT_HTTP_PORT) + path;
}
inline std::wstring Https(const std::wstring& path) {
  return L"https://localhost:" STUB_WIDEN(STUB_UNIT_HTTPS_PORT) + path;
}
inline std::wstring SelfSigned(const std::wstring& path) {
  return L"https://localhost:" STUB_WIDEN(STUB_UNIT_SELFSIGNED_PORT) + path;
}
inline std::wstring Expired(const std::wstring& path) {
  return L"https://localhost:" STUB_WIDEN(STUB_UNIT_EXPIRED_PORT) + path;
}
inline std::wstring WrongName(const std::wstring& path) {
  return L"https://localhost:" STUB_WIDEN(STUB_UNIT_WRONGNAME_PORT) + path;
}
// Nothing listens there.
inline std::wstring Closed(const std::wstring& path) {
  return L"http://127.0.0.1:" STUB_WIDEN(STUB_UNIT_CLOSED_PORT) + path;
}
inline std::wstring ProxyAddress() { return L"127.0.0.1:" STUB_WIDEN(STUB_UNIT_PROXY_PORT); }
// A proxy that answers every request with 407, offering Negotiate and NTLM;
// its records are asked for at NegotiateControl's /_proxied.
inline std::wstring NegotiateProxyAddress() { return L"127.0.0.1:" STUB_WIDEN(STUB_UNIT_NEGOTIATE_PROXY_PORT); }
inline std::wstring NegotiateControl(const std::wstring& path) {
  return L"http://127.0.0.1:" STUB_WIDEN(STUB_UNIT_NEGOTIATE_CONTROL_PORT) + path;
}

// A target no other test uses, so request counts stay per test.
inline std::wstring UniquePath(const std::wstring& path) {
  static LONG counter = 0;
  const wchar_t* separator = path.find(L'?') == std::wstring::npos ? L"?t=" : L"&t=";
  return path + separator + std::to_wstring(GetCurrentProcessId()) + L"-" +
         std::to_wstring(InterlockedIncrement(&counter)) + L"-" + std::to_wstring(GetTickCount64());
}

// The system's error a request failed with; 0 for one that was answered.
inline uint32_t ErrorOf(const Status& status) { return status ? 0 : status.error().systemError; }

}  // namespace test_servers
