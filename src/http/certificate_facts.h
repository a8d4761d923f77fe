// What a server's certificate showed when TLS refused it, for a log record
// that tells a wrong clock from an untrusted or misnamed certificate. Needs no
// Windows header: times are FILETIME ticks (100 ns since 1601, UTC), the
// verdict is the SSL policy's HRESULT.
#pragma once

#include <cstdint>
#include <string>

struct RefusedCertificate {
  uint64_t notBefore = 0;
  uint64_t notAfter = 0;
  uint64_t now = 0;  // the computer's clock when the certificate was read
  // The SSL policy's verdict for the host on the machine's roots
  // (CERT_E_EXPIRED, CERT_E_UNTRUSTEDROOT, CERT_E_CN_NO_MATCH...; 0 when it
  // passes).
  uint32_t policyError = 0;

  bool ValidNow() const { return notBefore <= now && now <= notAfter; }
};

// True for WinHTTP's errors of a TLS handshake that refused the server's
// certificate (or failed without saying why, as 12157 and 12175 do).
bool IsTlsRefusal(uint32_t error);

// "2026-12-09 18:40:00 UTC".
std::string FormatFileTimeUtc(uint64_t ticks);
