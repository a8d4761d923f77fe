#include "config/config_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_download.h"
#include "support/config_values.h"
#include "support/test_servers.h"

namespace {

ConfigDocument Parse(const std::wstring& text) {
  auto document = ParseConfigDocument(text);
  EXPECT_TRUE(document) << document.error().text;
  return document ? *std::move(document) : ConfigDocument();
}

std::string ParseError(const std::wstring& text) {
  const auto document = ParseConfigDocument(text);
  if (document) return "(parsed)";
  EXPECT_EQ(document.error().code, ErrorCode::kConfigInvalid);
  return document.error().text;
}

const wchar_t kDocument[] =
    L"{\"shortcut\": true, \"wrapper\": \"https://dl.tessaloom.example/qmx.exe\",\n"
    L" \"checksum\": 3421780262, \"version\": \"1.2.3\", \"channel\": \"beta\", \"extra\": [1, {}]}";

}  // namespace

TEST(ConfigDocument, ReadsTheFourMembersAndIgnoresOthers) {
  const auto values = InterpretConfigDocument(kDocument);
  ASSERT_TRUE(values);
  EXPECT_TRUE(values->shortcut);
  EXPECT_EQ(values->wrapper, L"https://dl.tessaloom.example/qmx.exe");
  EXPECT_EQ(values->checksum, 3421780262u);
  EXPECT_EQ(values->version, L"1.2.3");
}

TEST(ConfigDocument, CommentsAreTolerated) {
  const auto values = InterpretConfigDocument(
      L"// published 2026-12-01\n{\"shortcut\": false, /* inline */ \"wrapper\": \"http://x/i.exe\", "
      L"\"checksum\": 1, \"version\": \"v\"}");
  ASSERT_TRUE(values);
  EXPECT_FALSE(values->shortcut);
}

TEST(ConfigDocument, SyntaxErrorsCarryLineAndColumn) {
  for (const wchar_t* text : {L"", L"   ", L"{\"shortcut\": true} trailing", L"{\"shortcut\": tr",
                              L"<html><body>502 Bad Gateway</body></html>", L"{\"wrapper\": \"a\\qb\"}", L"{\"a\": 1,}",
                              L"{\"v\": \"\\ud800\"}"}) {
    const std::string error = ParseError(text);
    EXPECT_NE(error, "(parsed)") << "accepted: " << std::string(text, text + wcslen(text));
    EXPECT_NE(error.find(" at line "), std::string::npos) << error;
    EXPECT_NE(error.find(" and column "), std::string::npos) << error;
  }
  EXPECT_EQ(ParseError(L"{\"a\": 1,\n \"b\" 2}"), "Expected name separator ':' at line 2 and column 6");
}

TEST(ConfigDocument, DeepNestingIsAnErrorNotAStackOverflow) {
  const std::wstring deep = std::wstring(100000, L'[') + std::wstring(100000, L']');
  EXPECT_NE(ParseError(deep), "(parsed)");
}

TEST(ConfigDocument, ChecksumConversions) {
  const auto checksum = [](const std::wstring& value) {
    const auto result = ReadChecksum(Parse(L"{\"checksum\": " + value + L"}"));
    EXPECT_TRUE(result) << result.error().text;
    return result ? static_cast<uint32_t>(*result) : 0u;
  };
  EXPECT_EQ(checksum(L"3421780262"), 3421780262u);
  EXPECT_EQ(checksum(L"-873187034"), 3421780262u);   // the same CRC read as signed 32 bits
  EXPECT_EQ(checksum(L"20601649446"), 3421780262u);  // 4 * 2^32 + the CRC
  EXPECT_EQ(checksum(L"\"3421780262\""), 3421780262u);

  // Fractions are truncated towards zero; a negative one then reads as signed.
  EXPECT_EQ(checksum(L"3421780262.75"), 3421780262u);
  EXPECT_EQ(checksum(L"-873187034.5"), 3421780262u);
  EXPECT_EQ(checksum(L"3.421780262e9"), 3421780262u);

  // Beyond the 64-bit range (1e309 is an infinity) there is no such reading.
  for (const wchar_t* out : {L"1e309", L"-1e309", L"1e30", L"-1e30", L"18446744073709551616.0"}) {
    EXPECT_FALSE(ReadChecksum(Parse(std::wstring(L"{\"checksum\": ") + out + L"}")))
        << std::string(out, out + wcslen(out));
  }
  EXPECT_FALSE(InterpretConfigDocument(
      L"{\"shortcut\": true, \"wrapper\": \"u\", \"checksum\": 34217801e3095, \"version\": \"1\"}"));
  EXPECT_FALSE(ReadChecksum(Parse(L"{\"checksum\": [1]}")));
  EXPECT_FALSE(ReadChecksum(Parse(L"{\"checksum\": \"abc\"}")));
}

TEST(ConfigDocument, ShortcutConversionsOfTheInstalledLibrary) {
  const auto read = [](const std::wstring& value, bool& flag) {
    const auto read = ReadShortcutFlag(Parse(L"{\"shortcut\": " + value + L"}"));
    if (read) flag = *read;
    return read.ok();
  };
  bool flag = false;
  EXPECT_TRUE(read(L"true", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(read(L"false", flag));
  EXPECT_FALSE(flag);
  EXPECT_TRUE(read(L"1", flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(read(L"0", flag));
  EXPECT_FALSE(flag);
  // This jsoncons refuses a string: such a document ends the run with code 3.
  EXPECT_FALSE(read(L"\"true\"", flag));
}

TEST(ConfigDocument, MissingMembersWrongTypesAndNonObjectRootsAreReported) {
  const ConfigDocument empty = Parse(L"{}");
  EXPECT_FALSE(ReadShortcutFlag(empty));
  EXPECT_FALSE(ReadWrapperUrl(empty));
  EXPECT_FALSE(ReadChecksum(empty));
  EXPECT_FALSE(ReadVersion(empty));

  for (const wchar_t* root : {L"[1, 2]", L"42", L"\"text\"", L"null"}) {
    const auto flag = ReadShortcutFlag(Parse(root));
    ASSERT_FALSE(flag);
    EXPECT_EQ(flag.error().code, ErrorCode::kConfigInvalid);
    EXPECT_FALSE(flag.error().text.empty());
  }
  // Case matters in member names.
  EXPECT_FALSE(ReadVersion(Parse(L"{\"Version\": \"1\"}")));
  // A non-string value is taken in its JSON text form.
  const auto version = ReadVersion(Parse(L"{\"version\": 2}"));
  ASSERT_TRUE(version);
  EXPECT_EQ(*version, L"2");
}

TEST(ConfigDocument, WrapperMustBeAWebAddress) {
  for (const wchar_t* url : {L"https://dl.example/qmx.exe", L"HTTP://dl.example:8080/a?b=c", L"hTtPs://h"}) {
    EXPECT_TRUE(ReadWrapperUrl(Parse(std::wstring(L"{\"wrapper\": \"") + url + L"\"}")))
        << std::string(url, url + wcslen(url));
  }
  for (const wchar_t* url :
       {L"file:///C:/x.exe", L"\\\\\\\\server\\\\share\\\\x.exe", L"ftp://h/x.exe", L"C:/x.exe", L"https:/h/x",
        L"http:///x", L"http://\\\\share", L" https://h/x", L"httpx://h", L"https", L""}) {
    const auto read = ReadWrapperUrl(Parse(L"{\"wrapper\": \"" + std::wstring(url) + L"\"}"));
    ASSERT_FALSE(read) << std::string(url, url + wcslen(url));
    EXPECT_EQ(read.error().code, ErrorCode::kConfigInvalid);
    EXPECT_EQ(read.error().text.rfind("\"wrapper\" is not an https or http address: \"", 0), 0u) << read.error().text;
  }
  EXPECT_EQ(ReadWrapperUrl(Parse(L"{\"wrapper\": \"ftp://\u00e9\"}")).error().text,
            "\"wrapper\" is not an https or http address: \"ftp://\xc3\xa9\"");
}

TEST(ConfigDocument, OptionalSha256) {
  const auto absent = ReadSha256(Parse(L"{\"checksum\": 1}"));
  ASSERT_TRUE(absent);
  EXPECT_FALSE(absent->has_value());

  const std::wstring digits = L"BA7816BF8F01CFEA414140DE5DAE2223b00361a396177a9cb410ff61f20015ad";
  const auto sha256 = ReadSha256(Parse(L"{\"sha256\": \"" + digits + L"\"}"));
  ASSERT_TRUE(sha256);
  ASSERT_TRUE(sha256->has_value());
  EXPECT_EQ((**sha256)[0], 0xBA);
  EXPECT_EQ((**sha256)[31], 0xAD);

  for (const std::wstring& bad :
       std::vector<std::wstring>{L"\"\"", L"\"" + digits.substr(1) + L"\"", L"\"" + digits + L"0\"",
                                 L"\"" + digits.substr(1) + L"g\"", L"42", L"null", L"[]"}) {
    EXPECT_FALSE(ReadSha256(Parse(L"{\"sha256\": " + bad + L"}"))) << std::string(bad.begin(), bad.end());
  }
}

TEST(ConfigDocument, AReleaseRequiresSha256) {
  const auto absent = ReadSha256(Parse(L"{\"checksum\": 1}"), true);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error().code, ErrorCode::kConfigInvalid);
  EXPECT_EQ(absent.error().text, "\"sha256\" is missing: this stub runs no installer without its SHA-256");
  EXPECT_TRUE(ReadSha256(Parse(L"{\"sha256\": \"" + std::wstring(64, L'0') + L"\"}"), true));
}

TEST(ConfigDocument, OptionalSizeIsAPositiveNumberOfBytes) {
  struct Case {
    const wchar_t* document;
    bool valid;
    std::optional<uint64_t> size;
  };
  const Case cases[] = {
      {L"{\"checksum\": 1}", true, std::nullopt},       {L"{\"size\": 808584}", true, 808584},
      {L"{\"size\": 5368709120}", true, 5368709120ULL}, {L"{\"size\": 0}", false, std::nullopt},
      {L"{\"size\": -1}", false, std::nullopt},  // never wrapped into a huge limit
      {L"{\"size\": -1.5}", false, std::nullopt},       {L"{\"size\": null}", false, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.document, c.document + wcslen(c.document)));
    const auto size = ReadSize(Parse(c.document));
    ASSERT_EQ(static_cast<bool>(size), c.valid);
    if (c.valid) {
      EXPECT_EQ(*size, c.size);
    } else {
      EXPECT_EQ(size.error().code, ErrorCode::kConfigInvalid);
    }
  }
}

TEST(DownloadConfigFile, BelievesOnlyATrustedServer) {
  const auto text = DownloadConfigFileFrom(test_servers::Https(L"/echo"));
  ASSERT_TRUE(text);
  EXPECT_EQ(text->rfind(L"GET /echo", 0), 0u);

  for (const std::wstring& url :
       {test_servers::SelfSigned(L"/echo"), test_servers::Expired(L"/echo"), test_servers::WrongName(L"/echo")}) {
    const auto refused = DownloadConfigFileFrom(url);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, ErrorCode::kConfigUnavailable);
  }
}
