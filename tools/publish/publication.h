// A configuration document read exactly as the stub reads it (its own
// reader, in its order), with the installer it names checked as the stub
// checks it: the digests, the signer, the version.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "report.h"

struct SignerOptions {
  std::wstring signer;    // empty: the signer is not checked
  std::string caFile;     // roots for the code-signing chain (empty: the system's)
  std::string tsaCaFile;  // roots for the time stamp (empty: caFile)
  // The CA keys (SHA-256 of the SubjectPublicKeyInfo, lower-case hexadecimal)
  // one of which the installer's signature must hold; empty: not checked.
  std::vector<std::string> caKeys;
};

// Gives the installer's file for the document's "wrapper", or none (with its
// own report line) when there is none to check.
using InstallerSource = std::function<std::optional<std::string>(const std::wstring& wrapper)>;

// The text as the stub holds it after the fetch. Returns nothing: every step
// goes to the report.
// allowHttp: an installer address over plain HTTP is only warned about.
void ReadAsStub(const std::wstring& text, const InstallerSource& installer, const SignerOptions& signer, bool allowHttp,
                Report& report);

// A page that opens an HTML document without closing it: the stub takes it for
// a cut transfer and fetches again, then gives up with error code 1.
bool IsIncompleteHtml(const std::wstring& text);

// Looks like an HTML page rather than a document or a program.
bool LooksLikeHtml(const std::string& bytes);

// The whole file; none when it can't be read.
std::optional<std::string> ReadFileBytes(const std::string& path);
