#include "config/config_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/config_download.h"
#include "support/test_servers.h"

namespace {

ConfigDocument Parse(const std::wstring& text) {
  ConfigDocument document;
  const auto error = ParseConfigDocument(text, document);
  EXPECT_FALSE(error) << error->description;
  return document;
}

std::string ParseError(const std::wstring& text) {
  ConfigDocument document;
  const auto error = ParseConfigDocument(text, document);
  return error ? error->description : std::string("(parsed)");
}

const wchar_t kDocument[] =
    L"{\"shortcut\": true, \"wrapper\": \"https://dl.tessaloom.example/qmx.exe\",\n"
    L" \"checksum\": 3421780262, \"version\": \"1.2.3\", \"channel\": \"beta\", \"extra\": [1, {}]}";

}  // namespace

TEST(ConfigDocument, ReadsTheFourMembersAndIgnoresOthers) {
  ConfigValues values;
  ASSERT_FALSE(InterpretConfigDocument(kDocument, values));
  EXPECT_TRUE(values.shortcut);
  EXPECT_EQ(values.wrapper, L"https://dl.tessaloom.example/qmx.exe");
  EXPECT_EQ(values.checksum, 3421780262u);
  EXPECT_EQ(values.version, L"1.2.3");
}

TEST(ConfigDocument, CommentsAreTolerated) {
  ConfigValues values;
  EXPECT_FALSE(InterpretConfigDocument(
      L"// published 2026-12-01\n{\"shortcut\": false, /* inline */ \"wrapper\": \"u\", "
      L"\"checksum\": 1, \"version\": \"v\"}",
      values));
  EXPECT_FALSE(values.shortcut);
}

TEST(ConfigDocument, SyntaxErrorsCarryLineAndColumn) {
  for (const wchar_t* text : {L"", L"   ", L"{\"shortcut\": true} trailing", L"{\"shortcut\": tr",
                              L"<html><body>502 Bad Gateway</body></html>", L"{\"wrapper\": \"a\\qb\"}",
                              L"{\"a\": 1,}", L"{\"v\": \"\\ud800\"}"}) {
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
    uint64_t result = 0;
    const auto error = ReadChecksum(Parse(L"{\"checksum\": " + value + L"}"), result);
    EXPECT_FALSE(error) << error->description;
    return static_cast<uint32_t>(result);
  };
  EXPECT_EQ(checksum(L"3421780262"), 3421780262u);
  EXPECT_EQ(checksum(L"-873187034"), 3421780262u);  // the same CRC read as signed 32 bits
  EXPECT_EQ(checksum(L"20601649446"), 3421780262u);  // 4 * 2^32 + the CRC
  EXPECT_EQ(checksum(L"\"3421780262\""), 3421780262u);

  // Fractions are truncated towards zero; a negative one then reads as signed.
  EXPECT_EQ(checksum(L"3421780262.75"), 3421780262u);
  EXPECT_EQ(checksum(L"-873187034.5"), 3421780262u);
  EXPECT_EQ(checksum(L"3.421780262e9"), 3421780262u);

  uint64_t result = 0;
  // Beyond the 64-bit range (1e309 is an infinity) there is no such reading.
  for (const wchar_t* out : {L"1e309", L"-1e309", L"1e30", L"-1e30", L"18446744073709551616.0"}) {
    EXPECT_TRUE(ReadChecksum(Parse(std::wstring(L"{\"checksum\": ") + out + L"}"), result))
        << std::string(out, out + wcslen(out));
  }
  ConfigValues values;
  EXPECT_TRUE(InterpretConfigDocument(
      L"{\"shortcut\": true, \"wrapper\": \"u\", \"checksum\": 34217801e3095, \"version\": \"1\"}", values));
  EXPECT_TRUE(ReadChecksum(Parse(L"{\"checksum\": [1]}"), result));
  EXPECT_TRUE(ReadChecksum(Parse(L"{\"checksum\": \"abc\"}"), result));
}

TEST(ConfigDocument, ShortcutConversionsOfTheInstalledLibrary) {
  const auto read = [](const std::wstring& value, bool& flag) {
    return !ReadShortcutFlag(Parse(L"{\"shortcut\": " + value + L"}"), flag);
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
  bool flag = false;
  std::wstring text;
  uint64_t number = 0;
  const ConfigDocument empty = Parse(L"{}");
  EXPECT_TRUE(ReadShortcutFlag(empty, flag));
  EXPECT_TRUE(ReadWrapperUrl(empty, text));
  EXPECT_TRUE(ReadChecksum(empty, number));
  EXPECT_TRUE(ReadVersion(empty, text));

  for (const wchar_t* root : {L"[1, 2]", L"42", L"\"text\"", L"null"}) {
    const auto error = ReadShortcutFlag(Parse(root), flag);
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->description.empty());
  }
  // Case matters in member names.
  EXPECT_TRUE(ReadVersion(Parse(L"{\"Version\": \"1\"}"), text));
  // A non-string value is taken in its JSON text form.
  EXPECT_FALSE(ReadVersion(Parse(L"{\"version\": 2}"), text));
  EXPECT_EQ(text, L"2");
}

TEST(ConfigDocument, OptionalSha256) {
  std::optional<std::array<uint8_t, 32>> sha256;
  EXPECT_FALSE(ReadSha256(Parse(L"{\"checksum\": 1}"), sha256));
  EXPECT_FALSE(sha256.has_value());

  const std::wstring digits = L"BA7816BF8F01CFEA414140DE5DAE2223b00361a396177a9cb410ff61f20015ad";
  ASSERT_FALSE(ReadSha256(Parse(L"{\"sha256\": \"" + digits + L"\"}"), sha256));
  ASSERT_TRUE(sha256.has_value());
  EXPECT_EQ((*sha256)[0], 0xBA);
  EXPECT_EQ((*sha256)[31], 0xAD);

  for (const std::wstring& bad : std::vector<std::wstring>{L"\"\"", L"\"" + digits.substr(1) + L"\"", L"\"" + digits + L"0\"",
                                  L"\"" + digits.substr(1) + L"g\"", L"42", L"null", L"[]"}) {
    EXPECT_TRUE(ReadSha256(Parse(L"{\"sha256\": " + bad + L"}"), sha256)) << std::string(bad.begin(), bad.end());
  }
}

TEST(DownloadConfigFile, BelievesOnlyATrustedServer) {
  std::wstring text = L"unchanged";
  EXPECT_TRUE(DownloadConfigFileFrom(test_servers::Https(L"/echo"), text));
  EXPECT_EQ(text.rfind(L"GET /echo", 0), 0u);

  for (const std::wstring& url : {test_servers::SelfSigned(L"/echo"), test_servers::Expired(L"/echo"),
                                  test_servers::WrongName(L"/echo")}) {
    text = L"unchanged";
    EXPECT_FALSE(DownloadConfigFileFrom(url, text));
    EXPECT_EQ(text, L"unchanged");
  }
}
