// tessaloom-publish: writes, checks and probes what the stub reads, with the
// stub's own reading of it.
//
// clang-format off
//   tessaloom-publish make INSTALLER --url URL [--version V] [--shortcut] [--allow-http] [--output FILE]
//   tessaloom-publish check DOCUMENT [INSTALLER] [--signer NAME | --stub FILE] [--ca FILE] [--tsa-ca FILE]
//       [--allow-http]
//   tessaloom-publish probe URL [--signer NAME | --stub FILE] [--ca FILE] [--tsa-ca FILE] [--cacert FILE]
//       [--allow-http]
// clang-format on
//
// Exit status: 0 when a user's stub would run the installer (make: the
// document was written), 1 when it would not or the publication is faulty,
// 2 for a command line or a file the command can't use.
#include <curl/curl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <jsoncons/json.hpp>

#include "authenticode.h"
#include "config/config_document.h"
#include "config/version_rule.h"
#include "digests.h"
#include "pe_version.h"
#include "publication.h"
#include "report.h"
#include "text.h"
#include "transfer.h"

namespace {

constexpr int kExitFaulty = 1;
constexpr int kExitUsage = 2;

const char kHelp[] =
    "tessaloom-publish: write, check and probe what the Tessaloom stub reads, with the stub's own reading\n"
    "\n"
    "  tessaloom-publish make INSTALLER --url URL [--version V] [--shortcut] [--allow-http] [--output FILE]\n"
    "      Writes the configuration document for INSTALLER, to be published at the stub's STUB_CONFIG_URL:\n"
    "      \"checksum\" (the CRC-32 the stub compares), \"sha256\", \"size\" (bytes: no download goes past it),\n"
    "      \"version\" (V, or the installer's own ProductVersion when V is not given), \"wrapper\" (URL, where "
    "INSTALLER will be published) and\n"
    "      \"shortcut\" (--shortcut: a cancelled installation leaves a \"Continue installation\" shortcut).\n"
    "      Refuses what the stub would refuse, and a URL that is not https (unless --allow-http).\n"
    "      The document goes to FILE, or to standard output; it is plain ASCII, so every charset reads it alike.\n"
    "\n"
    "  tessaloom-publish check DOCUMENT [INSTALLER] [--signer NAME | --stub FILE] [--ca FILE] [--tsa-ca FILE] "
    "[--allow-http]\n"
    "      Reads DOCUMENT (served as UTF-8) exactly as the stub does, and checks INSTALLER against it:\n"
    "      the CRC-32, the SHA-256, the version and, with --signer, the Authenticode signer the stub requires\n"
    "      (the name in its certificate), chained to the roots in FILE (default: the system's).\n"
    "\n"
    "  tessaloom-publish probe URL [--signer NAME | --stub FILE] [--ca FILE] [--tsa-ca FILE] [--cacert FILE] "
    "[--allow-http]\n"
    "      Does what every user's stub will do: fetches the document at URL over HTTPS (the server's\n"
    "      certificate checked against the system's roots, or those in --cacert), checks the status and how\n"
    "      its body will be decoded, reads it, downloads the installer from \"wrapper\" (no redirect from\n"
    "      https to http), and checks the digests, the signer and the version.\n"
    "\n"
    "  --stub FILE     the signed stub: require its own signer, as a stub built without\n"
    "                  STUB_INSTALLER_SIGNER does (in place of --signer), under the CA that\n"
    "                  issued its certificate, as the stub pins it\n"
    "  --tsa-ca FILE   roots for the signature's time stamp (default: those of --ca)\n"
    "  --allow-http    accept an installer address over plain HTTP (and, for probe, a document's)\n"
    "\n"
    "One line per step; a failing step names the error code a user would get. Exit status: 0 when a\n"
    "user's stub would run the installer (make: the document was written), 1 when it would not or what it\n"
    "reads depends on the user's machine, 2 when the command line or a file can't be used.\n";

int Usage(const std::string& message) {
  std::fprintf(stderr, "tessaloom-publish: %s\n(tessaloom-publish --help tells how to use it)\n", message.c_str());
  return kExitUsage;
}

// The verb's arguments: the positional ones in order, the options by name.
struct Arguments {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;
  std::map<std::string, bool> flags;
};

std::optional<Arguments> ParseArguments(int argc, char** argv, const std::vector<std::string>& valueOptions,
                                        const std::vector<std::string>& flagOptions, std::string& error) {
  Arguments arguments;
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    const auto is = [&](const std::vector<std::string>& names) {
      for (const std::string& name : names) {
        if (name == argument) return true;
      }
      return false;
    };
    if (is(valueOptions)) {
      if (i + 1 >= argc) {
        error = argument + " needs a value";
        return std::nullopt;
      }
      arguments.values[argument] = argv[++i];
    } else if (is(flagOptions)) {
      arguments.flags[argument] = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      error = "unknown option " + argument;
      return std::nullopt;
    } else {
      arguments.positional.push_back(argument);
    }
  }
  return arguments;
}

std::string Value(const Arguments& arguments, const std::string& name) {
  const auto found = arguments.values.find(name);
  return found == arguments.values.end() ? std::string() : found->second;
}

bool Flag(const Arguments& arguments, const std::string& name) { return arguments.flags.count(name) != 0; }

// Why an installer's address can't be published; empty when it can.
std::string UnfitWrapperUrl(const std::string& url, bool allowHttp) {
  CURLU* parsed = curl_url();
  const bool valid = parsed != nullptr && curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
  char* scheme = nullptr;
  std::string schemeText;
  if (valid && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
    schemeText = scheme;
    curl_free(scheme);
  }
  curl_url_cleanup(parsed);
  if (!valid) return "it is not an absolute address";
  if (url.find_first_of(" \t\r\n\"") != std::string::npos) return "it holds a blank, a control character or a quote";
  if (url.find('#') != std::string::npos)
    return "it holds a \"#\": the stub's \"rn\" parameter would go into its fragment";
  if (schemeText == "https") return std::string();
  if (schemeText == "http") {
    return allowHttp ? std::string()
                     : "it is not https: anyone on the way could replace the installer (--allow-http allows it)";
  }
  return "its scheme is " + schemeText + ", not https";
}

std::optional<SignerOptions> SignerFrom(const Arguments& arguments, std::string& error) {
  SignerOptions options;
  options.signer = WideFromUtf8(Value(arguments, "--signer"));
  const std::string stub = Value(arguments, "--stub");
  if (!stub.empty()) {
    if (!options.signer.empty()) {
      error = "--signer and --stub both name the signer: give one";
      return std::nullopt;
    }
    // A signed stub built without STUB_INSTALLER_SIGNER requires its own signer.
    const auto own = ReadSignerName(stub, error);
    if (!own) {
      error = "the stub " + stub + " names no signer (" + error + "): give --signer";
      return std::nullopt;
    }
    options.signer = *own;
    // ... under the CA that issued its own certificate.
    const auto issuer = ReadIssuerKey(stub, error);
    if (!issuer) {
      error = "the stub " + stub + " does not show the CA of its signer (" + error + ")";
      return std::nullopt;
    }
    options.caKeys.push_back(*issuer);
  }
  options.caFile = Value(arguments, "--ca");
  options.tsaCaFile = Value(arguments, "--tsa-ca");
  if (options.signer.empty() && (!options.caFile.empty() || !options.tsaCaFile.empty())) {
    error = "--ca and --tsa-ca go with --signer or --stub";
    return std::nullopt;
  }
  for (const std::string& file : {options.caFile, options.tsaCaFile}) {
    if (!file.empty() && access(file.c_str(), R_OK) != 0) {
      error = "can't read " + file;
      return std::nullopt;
    }
  }
  return options;
}

int Make(int argc, char** argv) {
  std::string error;
  const auto arguments = ParseArguments(argc, argv, {"--url", "--version", "--output", "-o"},
                                        {"--shortcut", "--allow-http"}, error);
  if (!arguments) return Usage(error);
  if (arguments->positional.size() != 1) return Usage("make takes one INSTALLER");
  const std::string installer = arguments->positional[0];
  const std::string url = Value(*arguments, "--url");
  if (url.empty()) return Usage("make needs --url, the address the installer will be published at");

  const auto bytes = ReadFileBytes(installer);
  if (!bytes) return Usage("can't read " + installer);
  const auto digests = DigestFile(installer, error);
  if (!digests) return Usage(error);

  const std::string unfitUrl = UnfitWrapperUrl(url, Flag(*arguments, "--allow-http"));
  if (!unfitUrl.empty()) {
    std::fprintf(stderr, "tessaloom-publish: refused: the address %s can't be the \"wrapper\": %s\n", url.c_str(),
                 unfitUrl.c_str());
    return kExitFaulty;
  }
  std::wstring version;
  if (arguments->values.count("--version") != 0) {
    version = WideFromUtf8(Value(*arguments, "--version"));
  } else {
    const auto resource = ReadProductVersion(*bytes);
    if (!resource) return Usage(installer + " has no version resource: give --version");
    version = *resource;
    std::fprintf(stderr, "version %s, from the installer's version resource\n", Printable(version).c_str());
  }
  if (const auto unfitVersion = VersionUnfitForCommandLine(version)) {
    std::fprintf(stderr,
                 "tessaloom-publish: refused: the version \"%s\" can't be passed on the installer's command line: "
                 "%s (a user's stub would show \"Cannot obtain configuration. Error code 3\")\n",
                 Printable(version).c_str(), unfitVersion->c_str());
    return kExitFaulty;
  }

  jsoncons::ojson document(jsoncons::json_object_arg);
  document.insert_or_assign("shortcut", Flag(*arguments, "--shortcut"));
  document.insert_or_assign("wrapper", url);
  document.insert_or_assign("checksum", static_cast<uint64_t>(digests->crc32));
  document.insert_or_assign("version", Utf8FromWide(version));
  document.insert_or_assign("sha256", HexDigits(digests->sha256));
  document.insert_or_assign("size", digests->size);
  auto options = jsoncons::json_options{}.escape_all_non_ascii(true).spaces_around_comma(
      jsoncons::spaces_option::no_spaces);
  std::string text;
  document.dump_pretty(text, options);
  text += "\n";

  // What was written is read back by the stub's reader before it is handed out.
  const auto read = ParseConfigDocument(WideFromUtf8(text));
  const auto readVersion = read ? ReadVersion(*read) : Result<std::wstring>(read.error());
  const auto readChecksum = read ? ReadChecksum(*read) : Result<uint64_t>(read.error());
  const auto readSha256 = read ? ReadSha256(*read) : Result<std::optional<Sha256Digest>>(read.error());
  const auto readUrl = read ? ReadWrapperUrl(*read) : Result<std::wstring>(read.error());
  if (!readVersion || *readVersion != version || !readChecksum ||
      static_cast<uint32_t>(*readChecksum) != digests->crc32 || !readSha256 || !readSha256->has_value() ||
      **readSha256 != digests->sha256 || !readUrl || *readUrl != WideFromUtf8(url) || !ReadShortcutFlag(*read)) {
    std::fprintf(stderr, "tessaloom-publish: the stub's reader does not read back what was written:\n%s", text.c_str());
    return kExitFaulty;
  }

  const std::string output = !Value(*arguments, "--output").empty() ? Value(*arguments, "--output")
                                                                    : Value(*arguments, "-o");
  if (output.empty()) {
    std::fputs(text.c_str(), stdout);
  } else {
    std::ofstream file(output, std::ios::out | std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    if (!file) return Usage("can't write " + output);
    std::fprintf(stderr, "wrote %s: publish it as application/json; publish %s at %s\n", output.c_str(),
                 installer.c_str(), url.c_str());
  }
  return 0;
}

int Check(int argc, char** argv) {
  std::string error;
  const auto arguments = ParseArguments(argc, argv, {"--signer", "--stub", "--ca", "--tsa-ca"}, {"--allow-http"},
                                        error);
  if (!arguments) return Usage(error);
  if (arguments->positional.empty() || arguments->positional.size() > 2) {
    return Usage("check takes a DOCUMENT and, optionally, the INSTALLER");
  }
  const auto signer = SignerFrom(*arguments, error);
  if (!signer) return Usage(error);
  const std::string documentPath = arguments->positional[0];
  const auto bytes = ReadFileBytes(documentPath);
  if (!bytes) return Usage("can't read " + documentPath);
  std::optional<std::string> installer;
  if (arguments->positional.size() == 2) {
    installer = arguments->positional[1];
    if (access(installer->c_str(), R_OK) != 0) return Usage("can't read " + *installer);
  }

  Report report;
  // Served with "charset=utf-8", as it should be.
  const DecodedBody decoded = DecodeLikeStub(L"Content-Type: application/json; charset=utf-8\r\n", *bytes);
  if (decoded.replaced) {
    report.Fail("charset", 0, "the document is not UTF-8: served as UTF-8, each byte that isn't becomes U+FFFD");
  }
  if (decoded.cutAtZero) report.Warn("charset", "a zero byte ends the text the stub reads");
  ReadAsStub(
      decoded.text,
      [&](const std::wstring&) -> std::optional<std::string> {
        if (!installer) report.Skip("installer", "no INSTALLER given: its digests, signer and version not checked");
        return installer;
      },
      *signer, Flag(*arguments, "--allow-http"), report);
  return report.Finish(installer.has_value());
}

std::string DescribeCharset(const DecodedBody& decoded) {
  return decoded.charset.empty() ? std::string("no charset") : "charset=" + Printable(decoded.charset);
}

void CheckDecoding(const DecodedBody& decoded, Report& report) {
  if (decoded.utf8 && decoded.replaced) {
    report.Fail(
        "charset", 0,
        "declared " + DescribeCharset(decoded) + ", but the body is not UTF-8: each byte that isn't becomes U+FFFD");
  } else if (decoded.utf8) {
    report.Ok("charset", "decoded as UTF-8 (" + DescribeCharset(decoded) + ")");
  } else if (decoded.nonAscii) {
    report.Fail("charset", 0,
                DescribeCharset(decoded) +
                    " and bytes above 0x7F: each user's stub decodes them in that user's Windows "
                    "code page (read here as Windows-1252); serve the document as "
                    "\"application/json; charset=utf-8\"");
  } else {
    report.Warn("charset", DescribeCharset(decoded) +
                               ": the body is ASCII, which every code page reads alike, but declare charset=utf-8");
  }
  if (decoded.cutAtZero) report.Warn("charset", "a zero byte ends the text the stub reads");
}

// A private folder for the download, removed with everything in it.
struct WorkFolder {
  std::string path;
  WorkFolder() {
    char name[] = "/tmp/tessaloom-publish-XXXXXX";
    if (mkdtemp(name) != nullptr) path = name;
  }
  ~WorkFolder() {
    if (path.empty()) return;
    std::remove((path + "/installer.exe").c_str());
    rmdir(path.c_str());
  }
};

void ReportRedirects(const Transfer& transfer, const std::string& step, Report& report) {
  for (size_t i = 0; i < transfer.redirects.size(); ++i) {
    const bool last = i + 1 == transfer.redirects.size();
    if (last && (transfer.refusedRedirect || transfer.redirectNotFollowed)) break;
    report.Ok(step, "redirected to " + transfer.redirects[i]);
  }
}

int Probe(int argc, char** argv) {
  std::string error;
  const auto arguments = ParseArguments(argc, argv, {"--signer", "--stub", "--ca", "--tsa-ca", "--cacert"},
                                        {"--allow-http"}, error);
  if (!arguments) return Usage(error);
  if (arguments->positional.size() != 1) return Usage("probe takes the document's URL");
  const auto signer = SignerFrom(*arguments, error);
  if (!signer) return Usage(error);
  TransferOptions transferOptions;
  transferOptions.caFile = Value(*arguments, "--cacert");
  if (!transferOptions.caFile.empty() && access(transferOptions.caFile.c_str(), R_OK) != 0) {
    return Usage("can't read " + transferOptions.caFile);
  }
  const std::string url = arguments->positional[0];

  Report report;
  const std::string unfit = UnfitWrapperUrl(url, Flag(*arguments, "--allow-http"));
  if (!unfit.empty()) report.Fail("fetch", 0, "the document's address " + url + " is unfit: " + unfit);
  const Transfer fetched = FetchDocument(url, transferOptions);
  ReportRedirects(fetched, "fetch", report);
  if (!fetched.answered) {
    report.Fail("fetch", 1, "Can't download config file: " + fetched.error);
    return report.Finish();
  }
  if (fetched.redirectNotFollowed) {
    report.Warn("fetch", "redirected from HTTPS to " + fetched.redirects.back() +
                             ": the stub does not follow it and reads the redirect's own answer");
  }
  const std::string answer = "HTTP " + std::to_string(fetched.status) + ", " + std::to_string(fetched.bytes) + " bytes";
  if (fetched.status != 200) {
    report.Fail("status", 0, answer + ": the stub does not look at the status and reads this answer as the document");
  } else {
    report.Ok("fetch", fetched.url + ": " + answer);
  }
  const DecodedBody decoded = DecodeLikeStub(WideFromUtf8(fetched.rawHeaders), fetched.body);
  CheckDecoding(decoded, report);

  WorkFolder work;
  std::mt19937 random(static_cast<unsigned>(std::time(nullptr)));
  ReadAsStub(
      decoded.text,
      [&](const std::wstring& wrapper) -> std::optional<std::string> {
        if (work.path.empty()) {
          report.Fail("download", 0, "no temporary folder for the download");
          return std::nullopt;
        }
        std::string address = Utf8FromWide(wrapper);
        address += (address.find('?') == std::string::npos ? "?rn=" : "&rn=") +
                   std::to_string(std::uniform_int_distribution<int>(0, 32767)(random));
        const std::string path = work.path + "/installer.exe";
        TransferOptions downloadOptions = transferOptions;
        downloadOptions.progress = true;
        const Transfer download = DownloadFile(address, path, downloadOptions);
        ReportRedirects(download, "download", report);
        if (download.refusedRedirect) {
          report.Fail("download", 4,
                      "The installer's download was redirected from HTTPS to \"" + download.redirects.back() +
                          "\"; the redirect is refused");
          return std::nullopt;
        }
        if (!download.answered) {
          report.Fail("download", 4, "Can't download wrapper: " + download.error);
          return std::nullopt;
        }
        if (download.status < 200 || download.status > 299) {
          std::string page;
          const auto bytes = ReadFileBytes(path);
          if (bytes && LooksLikeHtml(*bytes)) page = " (an HTML page)";
          report.Fail(
              "download", 4,
              "Can't download wrapper: " + download.url + " answers HTTP " + std::to_string(download.status) + page);
          return std::nullopt;
        }
        const auto bytes = ReadFileBytes(path);
        const std::string kind = bytes && LooksLikeHtml(*bytes) ? ", an HTML page, not a program" : std::string();
        report.Ok("download", std::to_string(download.bytes) + " bytes from " + download.url + kind);
        return path;
      },
      *signer, Flag(*arguments, "--allow-http"), report);
  return report.Finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage("name a verb: make, check or probe");
  const std::string verb = argv[1];
  if (verb == "--help" || verb == "-h" || verb == "help") {
    std::fputs(kHelp, stdout);
    return 0;
  }
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int status = kExitUsage;
  if (verb == "make") {
    status = Make(argc, argv);
  } else if (verb == "check") {
    status = Check(argc, argv);
  } else if (verb == "probe") {
    status = Probe(argc, argv);
  } else {
    status = Usage("unknown verb " + verb + ": make, check or probe");
  }
  curl_global_cleanup();
  return status;
}
