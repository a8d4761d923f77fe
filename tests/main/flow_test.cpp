#include <windows.h>

#include <gtest/gtest.h>

#include <shellapi.h>

#include <cwctype>
#include <string>
#include <vector>

#include "main/installation_flow.h"
#include "main/installer_channels.h"
#include "main/instance_guard.h"
#include "main/outcome.h"
#include "trust/installer_file.h"

TEST(FormatInstallerParameters, JoinsTheValuesWithOneBlankEach) {
  EXPECT_EQ(FormatInstallerParameters(L"id", L"1.2.3", L"/S"), L"-id id -v \"1.2.3\" /S");
  EXPECT_EQ(FormatInstallerParameters(L"id", L"1.2.3", L""), L"-id id -v \"1.2.3\" ");
  // Nothing is cut, however long the arguments are.
  const std::wstring longArguments(5000, L'a');
  EXPECT_EQ(FormatInstallerParameters(L"id", L"v", longArguments).size(), 14 + longArguments.size());
}

TEST(InstallerEnvironment, PointsTempAndTmpIntoTheRunAndKeepsTheRest) {
  const std::wstring kTemp = L"C:\\Windows\\Temp\\qmx-1\\temp";
  using Block = std::vector<std::wstring>;
  const struct {
    const char* what;
    Block current;
    Block expected;
  } cases[] = {
      {"the user's own, replaced in place",
       {L"=C:=C:\\Users\\ann", L"TEMP=C:\\Users\\ann\\Temp", L"TMP=C:\\Users\\ann\\Temp", L"USERNAME=ann"},
       {L"=C:=C:\\Users\\ann", L"TEMP=" + kTemp, L"TMP=" + kTemp, L"USERNAME=ann"}},
      {"any letter case, values with equals signs kept",
       {L"Path=C:\\a;C:\\b", L"temp=D:\\x", L"Tmp=D:\\y", L"TEMPLATE=a=b", L"TMPDIR=z"},
       {L"Path=C:\\a;C:\\b", L"TEMP=" + kTemp, L"TEMPLATE=a=b", L"TMP=" + kTemp, L"TMPDIR=z"}},
      {"missing ones added where a sorted block has them",
       {L"ComSpec=cmd.exe", L"windir=C:\\Windows"},
       {L"ComSpec=cmd.exe", L"TEMP=" + kTemp, L"TMP=" + kTemp, L"windir=C:\\Windows"}},
      {"an empty environment", {}, {L"TEMP=" + kTemp, L"TMP=" + kTemp}},
  };
  for (const auto& c : cases) EXPECT_EQ(InstallerEnvironment(c.current, kTemp), c.expected) << c.what;
}

namespace {

std::vector<std::wstring> SplitAsWindowsDoes(const std::wstring& commandLine) {
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(commandLine.c_str(), &count);
  std::vector<std::wstring> split(arguments, arguments + (arguments != nullptr ? count : 0));
  LocalFree(arguments);
  return split;
}

}  // namespace

TEST(InstallerCommandLine, WindowsSplitsItIntoThePathAndTheInstallersArguments) {
  const std::wstring path = L"C:\\Windows\\Temp\\qmx-0123\\qmxA1.tmp.exe";
  const std::wstring id = L"0f8c2d5e-1111-2222-3333-444455556666";
  // The versions and arguments of the scenarios, and the awkward ones the
  // version rule lets through: blanks, inner backslashes, letters beyond ASCII.
  const std::wstring versions[] = {L"1.2.3", L"2.5.1 beta", L"1\\2", L"v\\ x\\y", L"\u00fcber-\u5f20"};
  const std::wstring arguments[] = {L"", L"/S", L"-NS --record=Z:\\tmp\\a b\\installer.json --exit=2",
                                    L"\"--record=Z:\\tmp\\a b\\i.json\" --post=\"x y\""};
  for (const auto& version : versions) {
    for (const auto& argument : arguments) {
      const auto split = SplitAsWindowsDoes(
          InstallerCommandLine(path, FormatInstallerParameters(id, version, argument)));
      std::vector<std::wstring> expected = {path, L"-id", id, L"-v", version};
      const auto own = SplitAsWindowsDoes(L"stub.exe " + argument);
      expected.insert(expected.end(), own.begin() + 1, own.end());
      EXPECT_EQ(split, expected) << "version " << version.c_str() << ", arguments " << argument.c_str();
    }
  }
}

TEST(MakeSessionId, IsAFreshLowerCaseUuidWithoutBraces) {
  const std::wstring first = MakeSessionId();
  const std::wstring second = MakeSessionId();
  EXPECT_NE(first, second);
  ASSERT_EQ(first.size(), 36u);
  for (size_t i = 0; i < first.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      EXPECT_EQ(first[i], L'-');
    } else {
      EXPECT_TRUE(std::iswxdigit(first[i]) && !std::iswupper(first[i])) << first.c_str();
    }
  }
}

TEST(MatomoVisitorId, IsTheFirstSixteenHexadecimalDigitsOrNothing) {
  const struct {
    const wchar_t* session;
    std::optional<std::wstring> visitor;
  } cases[] = {
      {L"4f34395d-6f19-487e-8d67-2d683ed04d06", L"4f34395d6f19487e"},
      {L"4F34395D-6F19-487E-8D67-2D683ED04D06", L"4F34395D6F19487E"},  // Matomo reads either case
      {L"4f34395d6f19487e", L"4f34395d6f19487e"},
      {L"4f34395d-6f19-487", std::nullopt},                       // fewer than 16 digits
      {L"{4f34395d-6f19-487e-8d67-2d683ed04d06}", std::nullopt},  // a brace before them
      {L"4f34395d-6f19-48 e-8d67-2d683ed04d06", std::nullopt},    // a blank among them
      {L"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(MatomoVisitorId(c.session), c.visitor) << c.session;
}

TEST(ClassifyExitCode, ZeroSucceedsTwoAndFiveAreCancellationsTheRestFail) {
  EXPECT_EQ(ClassifyExitCode(0), Outcome::kSuccess);
  EXPECT_EQ(ClassifyExitCode(2), Outcome::kCancelled);
  EXPECT_EQ(ClassifyExitCode(5), Outcome::kCancelled);
  for (DWORD code : {1u, 3u, 4u, 6u, 77u, 0xC0000005u}) EXPECT_EQ(ClassifyExitCode(code), Outcome::kFailed);
  // Not knowing the outcome is a failure of its own, never a cancellation.
  EXPECT_EQ(ClassifyExitCode(kOutcomeUnknown), Outcome::kFailed);
  EXPECT_NE(kOutcomeUnknown, 0u);
}

// Controlled folder access refuses an unknown program's write to the desktop
// with error 5; other errors are failures of their own.
TEST(ShortcutWrite, AccessDeniedIsABlockOtherErrorsAreNot) {
  for (uint32_t blocked : {5u, 0x80070005u}) EXPECT_TRUE(WriteWasBlocked(blocked)) << blocked;
  for (uint32_t failed : {0u, 32u, 112u, 1346u, 0x80070020u}) EXPECT_FALSE(WriteWasBlocked(failed)) << failed;
}

TEST(OutcomeUrls, CarryTheSessionTheCodeAndTheVersion) {
  EXPECT_EQ(FailedHitUrl(L"0f8c2d5e-1111-2222-3333-444455556666", 3221225477u),
            L"https://localhost:18544/piwik.php?rec=1&url=nourl&apiv=1&idsite=2"
            L"&_id=0f8c2d5e11112222&e_c=Undetermined&e_a=Failed&e_n=3221225477"
            L"&uid=0f8c2d5e-1111-2222-3333-444455556666");
  // Without an identifier (none could be made) the hit names no visitor.
  EXPECT_EQ(FailedHitUrl(L"", 4u), L"https://localhost:18544/piwik.php?rec=1&url=nourl&apiv=1&idsite=2"
                                   L"&e_c=Undetermined&e_a=Failed&e_n=4");
  EXPECT_EQ(CancellationPageUrl(L"1.2.3-beta_2~rc.1"),
            L"http://localhost:18545/installation-cancelled/?v=1.2.3-beta_2~rc.1");
  // Only what would change the address's meaning, or is not allowed in it, is
  // encoded, as UTF-8.
  EXPECT_EQ(CancellationPageUrl(L"1.2.3 beta"), L"http://localhost:18545/installation-cancelled/?v=1.2.3%20beta");
  EXPECT_EQ(PercentEncodeForQuery(L"a\"#%&+<>\r\n\x7f/?=:@!$'()*,;[]b"),
            L"a%22%23%25%26%2B%3C%3E%0D%0A%7F/?=:@!$'()*,;[]b");
  EXPECT_EQ(PercentEncodeForQuery(L"\u00e9t\u00e9 \u5f20 \U0001F600"), L"%C3%A9t%C3%A9%20%E5%BC%A0%20%F0%9F%98%80");
}

namespace {

// Channels like the stub's, under a name of this test's own.
struct TestChannels {
  TestChannels() {
    name = L"\\\\.\\mailslot\\stub_test_" + std::to_wstring(GetCurrentProcessId());
    channels.event.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    channels.readRecord.hEvent = channels.event.get();
    channels.slot.reset(CreateMailslotW(name.c_str(), 64, MAILSLOT_WAIT_FOREVER, nullptr));
  }
  bool Post(const std::string& message) const {
    UniqueFile writer(CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD written = 0;
    return writer && WriteFile(writer.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  }
  std::wstring name;
  CommunicationChannels channels;
};

}  // namespace

TEST(ReceiveCancellationMessage, TakesAWaitingMessageAndLeavesTheNextOne) {
  TestChannels test;
  ASSERT_TRUE(test.channels.slot);
  ASSERT_TRUE(test.Post("cancelled by user"));
  ASSERT_TRUE(test.Post("second"));
  const auto text = ReceiveCancellationMessage(test.channels, 2000);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "cancelled by user");
  DWORD count = 0;
  GetMailslotInfo(test.channels.slot.get(), nullptr, nullptr, &count, nullptr);
  EXPECT_EQ(count, 1u);
}

TEST(ReceiveCancellationMessage, TakesAFullSixtyFourByteMessage) {
  TestChannels test;
  const std::string message(64, 'm');
  ASSERT_TRUE(test.Post(message));
  const auto text = ReceiveCancellationMessage(test.channels, 2000);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, message);
}

TEST(ReceiveCancellationMessage, GivesUpAfterTheWaitWithoutAMessage) {
  TestChannels test;
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(ReceiveCancellationMessage(test.channels, 300));
  EXPECT_LT(GetTickCount64() - start, 5000u);
}

TEST(DigestsMatch, TheLowBitsOfTheChecksumAndTheOptionalSha256) {
  InstallerDigest digest;
  digest.crc32 = 0x352441C2u;
  digest.sha256.fill(7);
  Sha256Digest other = digest.sha256;
  other[31] = 8;
  EXPECT_TRUE(DigestsMatch(0x352441C2u, std::nullopt, digest));
  EXPECT_TRUE(DigestsMatch(0x500000000ull + 0x352441C2u, digest.sha256, digest));
  EXPECT_FALSE(DigestsMatch(0x352441C3u, std::nullopt, digest));
  EXPECT_FALSE(DigestsMatch(0x352441C2u, other, digest)) << "a matching CRC-32 does not excuse the SHA-256";
}

TEST(VersionUnfitForCommandLine, RefusesWhatWouldChangeTheInstallersArguments) {
  for (const wchar_t* version :
       {L"1.2.3", L"", L"1.2 beta", L"\u0432\u0435\u0440\u0441\u0438\u044f 2", L"C:\\dir\\1.0", L"1.0\\x"}) {
    EXPECT_EQ(VersionUnfitForCommandLine(version), std::nullopt);
  }
  EXPECT_EQ(VersionUnfitForCommandLine(L"1.0\\"), "it ends with a backslash");
  EXPECT_EQ(VersionUnfitForCommandLine(L"1\" /D=C:\\x"), "it contains a double quote");
  EXPECT_EQ(VersionUnfitForCommandLine(L"1.0\r\nINFO  forged"), "it contains a control character");
}

TEST(InstanceGuard, ASecondGuardWhileTheFirstIsHeldFindsAnotherStub) {
  const std::wstring name = L"stub_test_guard_" + std::to_wstring(GetCurrentProcessId());
  {
    const InstanceGuard first(name.c_str());
    EXPECT_FALSE(first.AnotherStubIsRunning());
    const InstanceGuard second(name.c_str());
    EXPECT_TRUE(second.AnotherStubIsRunning());
  }
  EXPECT_FALSE(InstanceGuard(name.c_str()).AnotherStubIsRunning()) << "gone with its last handle";
  // Held by another process, the stub's own name is found the same way: the
  // start-up scenario with the helper program holding the mutex.
}
