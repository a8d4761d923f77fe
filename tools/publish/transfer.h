// The two transfers of a user's stub, made with libcurl from the publisher's
// machine: the configuration request (WinHTTP in the stub) and the
// installer's download (URL monikers in the stub), each with the stub's rule
// for redirects.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Transfer {
  bool answered = false;               // a response was received and read
  std::string error;                   // why not
  long status = 0;                     // the final response's HTTP status
  std::string rawHeaders;              // its status line and headers, CR LF each
  std::string body;                    // the document request's body
  uint64_t bytes = 0;                  // the body's size
  std::vector<std::string> redirects;  // each address a redirect led to
  std::string url;                     // the address of the final response
  bool refusedRedirect = false;        // the download was redirected from HTTPS elsewhere
  bool redirectNotFollowed = false;    // the request was redirected from HTTPS elsewhere: not followed
};

struct TransferOptions {
  std::string caFile;     // roots the server's certificate must chain to (empty: the system's)
  bool progress = false;  // a progress line on standard error
};

// GETs the document as the stub's WinHTTP request does: the certificate
// checked, redirects followed except from HTTPS to HTTP (then the redirect's
// own answer is the response), the body held up to 64 MiB.
Transfer FetchDocument(const std::string& url, const TransferOptions& options);

// Downloads the installer into path as the stub does: redirects followed,
// but one from HTTPS to another scheme is refused.
Transfer DownloadFile(const std::string& url, const std::string& path, const TransferOptions& options);
