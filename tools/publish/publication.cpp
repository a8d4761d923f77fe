#include "publication.h"

#include <cctype>
#include <fstream>
#include <iterator>
#include <vector>

#include "authenticode.h"
#include "config/config_document.h"
#include "config/version_rule.h"
#include "digests.h"
#include "http/regexp.h"
#include "pe_version.h"
#include "text.h"

namespace {

std::string Quoted(const std::wstring& text) { return "\"" + Printable(text) + "\""; }

std::string ParseError(const Error& error) { return "Error parsing file. Error: " + error.text; }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Scheme(const std::wstring& url) {
  const size_t colon = url.find(L':');
  return colon == std::wstring::npos ? std::string() : Lower(Utf8FromWide(url.substr(0, colon)));
}

void CheckWrapper(const std::wstring& wrapper, bool allowHttp, Report& report) {
  const std::string scheme = Scheme(wrapper);
  if (scheme == "https") {
    report.Ok("wrapper", Printable(wrapper));
  } else if (scheme == "http") {
    const std::string why = Printable(wrapper) +
                            ": not HTTPS, so anyone on the way can replace the installer; only the signer and "
                            "\"sha256\" stand against that";
    if (allowHttp) {
      report.Warn("wrapper", why);
    } else {
      report.Fail("wrapper", 0, why + " (--allow-http accepts it)");
    }
  } else {
    report.Fail("wrapper", 4, "Can't download wrapper: " + Quoted(wrapper) + " is not an http or https address");
  }
  if (wrapper.find(L'#') != std::wstring::npos) {
    report.Warn("wrapper", "the address holds a \"#\": the stub's \"rn\" parameter would go into its fragment");
  }
}

// The stub stops a download that goes past "size": one below the installer's
// length fails every download.
void CheckSize(std::optional<uint64_t> size, uint64_t installerSize, Report& report) {
  if (!size) {
    report.Warn("size", "the document has no \"size\": publish it (tessaloom-publish make writes it), so that no "
                        "download goes on past it");
  } else if (*size < installerSize) {
    report.Fail("size", 4,
                "the document's \"size\" " + std::to_string(*size) + " is below the installer's " +
                    std::to_string(installerSize) + " bytes: every download would be stopped");
  } else {
    report.Ok("size", std::to_string(*size) +
                          (*size == installerSize ? " bytes, the installer's" : " bytes, more than the installer's"));
  }
}

void CheckDigests(uint64_t checksum, const std::optional<Sha256Digest>& sha256, std::optional<uint64_t> size,
                  const std::string& path, Report& report) {
  std::string error;
  const auto digests = DigestFile(path, error);
  if (!digests) {
    report.Fail("checksum", 5, error);
    return;
  }
  // Only the low 32 bits are compared, as the stub compares them.
  const auto low = static_cast<uint32_t>(checksum);
  const std::string value = std::to_string(checksum) +
                            (low != checksum ? " (low 32 bits " + std::to_string(low) + ")" : std::string());
  if (low != digests->crc32) {
    report.Fail("checksum", 6,
                "Mismatch of the wrapper checksum: the document's \"checksum\" " + value + ", the installer's CRC-32 " +
                    std::to_string(digests->crc32));
  } else {
    report.Ok("checksum", value + " is the CRC-32 of the installer's " + std::to_string(digests->size) + " bytes");
  }
  CheckSize(size, digests->size, report);
  if (!sha256) {
    report.Warn("sha256", "the document has no \"sha256\": publish it (tessaloom-publish make writes it)");
  } else if (*sha256 != digests->sha256) {
    report.Fail("sha256", 6,
                "Mismatch of the wrapper checksum: the document's \"sha256\" " + HexDigits(*sha256) +
                    ", the installer's SHA-256 " + HexDigits(digests->sha256));
  } else {
    report.Ok("sha256", HexDigits(*sha256) + " is the installer's SHA-256");
  }
}

void CheckSignature(const std::string& path, const SignerOptions& options, bool hasSha256, Report& report) {
  if (options.signer.empty()) {
    report.Skip("signer", "no --signer given: a signed stub, or one built with STUB_INSTALLER_SIGNER, requires "
                          "the installer's signer and ends with error code 6 when it differs");
    if (!hasSha256) {
      report.Warn("signer", "without a required signer and without \"sha256\", only the CRC-32 vouches for the "
                            "installer, and anyone can make a file with the same CRC-32");
    }
    return;
  }
  const SignerCheck check = CheckSigner(path, options.signer, options.caKeys, options.caFile, options.tsaCaFile);
  const std::string detail = check.detail.empty() ? std::string() : " (" + check.detail + ")";
  if (!check.accepted) {
    report.Fail("signer", 6, check.record + detail);
  } else if (!check.detail.empty()) {
    report.Warn("signer", check.record + detail);
  } else {
    report.Ok("signer", check.record);
  }
}

void CheckVersion(const ConfigDocument& document, const std::optional<std::string>& installer, Report& report) {
  const auto version = ReadVersion(document);
  if (!version) {
    report.Fail("version", 3, ParseError(version.error()));
    return;
  }
  if (const auto unfit = VersionUnfitForCommandLine(*version)) {
    report.Fail("version", 3,
                "The installer's version " + Quoted(*version) + " can't be passed on its command line: " + *unfit);
    return;
  }
  report.Ok("version", Quoted(*version) + ", passed to the installer as -v " + Quoted(*version));
  if (!installer) return;
  const auto bytes = ReadFileBytes(*installer);
  const auto resource = bytes ? ReadProductVersion(*bytes) : std::nullopt;
  if (resource && *resource != *version) {
    report.Warn("version", "the installer's own version resource says " + Quoted(*resource));
  }
}

}  // namespace

std::optional<std::string> ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool IsIncompleteHtml(const std::wstring& text) {
  std::vector<std::wstring> captures;
  if (!FindMatches(L"{<html>}", text.c_str(), captures) || captures.empty()) return false;
  return !FindMatches(L"{</html>}", text.c_str(), captures) || captures.empty();
}

bool LooksLikeHtml(const std::string& bytes) {
  const std::string start = Lower(bytes.substr(0, 1024));
  return start.find("<html") != std::string::npos || start.find("<!doctype html") != std::string::npos;
}

void ReadAsStub(const std::wstring& text, const InstallerSource& installerSource, const SignerOptions& signer,
                bool allowHttp, Report& report) {
  if (IsIncompleteHtml(text)) {
    report.Fail("document", 1,
                "Can't download config file: the answer opens an HTML page and does not close it, "
                "which the stub takes for a cut transfer");
    return;
  }
  const auto document = ParseConfigDocument(text);
  if (!document) {
    report.Fail(
        "document", 3,
        ParseError(document.error()) + (LooksLikeHtml(Utf8FromWide(text)) ? " (the answer is an HTML page)" : ""));
    return;
  }
  report.Ok("document", "parsed by the stub's reader");

  const auto shortcut = ReadShortcutFlag(*document);
  if (!shortcut) {
    report.Fail("shortcut", 3, ParseError(shortcut.error()));
  } else {
    report.Ok("shortcut", *shortcut ? "true: a cancelled installation leaves a \"Continue installation\" shortcut"
                                    : "false: a cancelled installation leaves no shortcut");
  }
  const auto wrapper = ReadWrapperUrl(*document);
  std::optional<std::string> installer;
  if (!wrapper) {
    report.Fail("wrapper", 3, ParseError(wrapper.error()));
  } else {
    CheckWrapper(*wrapper, allowHttp, report);
    installer = installerSource(*wrapper);
  }

  const auto checksum = ReadChecksum(*document);
  if (!checksum) report.Fail("checksum", 3, ParseError(checksum.error()));
  const auto sha256 = ReadSha256(*document);
  if (!sha256) report.Fail("sha256", 3, ParseError(sha256.error()));
  const auto size = ReadSize(*document);
  if (!size) report.Fail("size", 3, ParseError(size.error()));
  if (installer && checksum && sha256 && size) {
    CheckDigests(*checksum, *sha256, *size, *installer, report);
  } else if (!installer && checksum && sha256) {
    report.Ok("checksum", std::to_string(*checksum) + (sha256->has_value() ? ", with \"sha256\"" : ", no \"sha256\""));
  }
  if (installer) CheckSignature(*installer, signer, sha256 && sha256->has_value(), report);
  CheckVersion(*document, installer, report);
}
