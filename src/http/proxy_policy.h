// Where a request finds its proxy, and which proxies are answered with the
// signed-in user's own credentials. Needs no Windows header: the facts are
// the user's Internet settings and the authentication schemes a proxy offers,
// as WinHTTP reports them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The current user's Internet settings (the machine's, where a policy makes
// them per machine), as WinHttpGetIEProxyConfigForCurrentUser reports them.
struct UserProxySettings {
  bool read = false;  // false where the system could not give them
  bool autoDetect = false;
  std::wstring scriptUrl;
  std::wstring proxy;
  std::wstring bypass;
};

// Where the proxy of a request came from.
enum class ProxyOrigin {
  kDirect,            // no proxy: the settings say so, or a script answered DIRECT
  kExplicit,          // set by the program itself (WinHttpClient::SetProxy)
  kConfiguredScript,  // the auto-configuration script named in the settings
  kConfiguredProxy,   // the proxy named in the settings
  kDetected,          // found by automatic detection (WPAD) alone
  kSystem,            // left to Windows, with detection off: the machine's WinHTTP proxy
};

// The ways to look for a proxy before the first send, in the order they are
// tried; the first that finds one decides. A script the administrator
// configured comes before detection: on a network the user does not control,
// any machine may answer the detection's questions.
enum class ProxyLookup { kConfiguredScript, kDetection, kConfiguredProxy };
std::vector<ProxyLookup> ProxyLookups(const UserProxySettings& settings);

// Whose proxy Windows chose when no lookup decided: a proxy that detection
// may have found unless the settings turn detection off. (The client takes
// kSystem for kDirect where the machine names no WinHTTP proxy either.)
ProxyOrigin SystemProxyOrigin(const UserProxySettings& settings);

// WinHTTP's numbers for the schemes a proxy may offer (WINHTTP_AUTH_SCHEME_*).
constexpr uint32_t kAuthBasic = 0x1;
constexpr uint32_t kAuthNtlm = 0x2;
constexpr uint32_t kAuthPassport = 0x4;
constexpr uint32_t kAuthDigest = 0x8;
constexpr uint32_t kAuthNegotiate = 0x10;

// A proxy gets the signed-in user's credentials only where this computer's
// settings (the user's or the machine's) or the program named it: a proxy
// that only detection found may be any machine of the local network, and
// NTLM's answer can be relayed or cracked by whoever receives it.
bool MayReceiveDefaultCredentials(ProxyOrigin origin);

// The scheme to answer a proxy's 407 with: Negotiate before NTLM, both of
// which prove the signed-in user's logon without a typed password; never
// Basic, Digest or Passport, which would need one. Answered once per request:
// 0 when it was answered before, when the proxy may not receive credentials,
// or when it offers neither scheme.
uint32_t ProxySchemeToAnswer(uint32_t offered, ProxyOrigin origin, bool answeredBefore);

// "Negotiate, NTLM", "Basic"; "none" for 0.
std::string DescribeAuthSchemes(uint32_t schemes);

// "the proxy named in the Internet settings" and so on.
std::string DescribeProxyOrigin(ProxyOrigin origin);
