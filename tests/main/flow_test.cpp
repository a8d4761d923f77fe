#include <windows.h>

#include <gtest/gtest.h>

#include <cwctype>
#include <string>

#include "main/installation_flow.h"
#include "main/outcome.h"

TEST(AppendCacheBuster, UsesQuestionMarkOnlyWhenTheUrlHasNone) {
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe", 0), L"https://dl.example/qmx.exe?rn=0");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/qmx.exe?a=1", 32767),
            L"https://dl.example/qmx.exe?a=1&rn=32767");
  EXPECT_EQ(AppendCacheBuster(L"https://dl.example/get?", 42), L"https://dl.example/get?&rn=42");
}

TEST(FormatInstallerParameters, JoinsTheValuesWithOneBlankEach) {
  EXPECT_EQ(FormatInstallerParameters(L"id", L"1.2.3", L"/S"), L"-id id -v \"1.2.3\" /S");
  EXPECT_EQ(FormatInstallerParameters(L"id", L"1.2.3", L""), L"-id id -v \"1.2.3\" ");
  // Nothing is cut, however long the arguments are.
  const std::wstring longArguments(5000, L'a');
  EXPECT_EQ(FormatInstallerParameters(L"id", L"v", longArguments).size(), 14 + longArguments.size());
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

TEST(ClassifyExitCode, ZeroSucceedsTwoAndFiveAreCancellationsTheRestFail) {
  EXPECT_EQ(ClassifyExitCode(0), Outcome::kSuccess);
  EXPECT_EQ(ClassifyExitCode(2), Outcome::kCancelled);
  EXPECT_EQ(ClassifyExitCode(5), Outcome::kCancelled);
  for (DWORD code : {1u, 3u, 4u, 6u, 77u, 0xC0000005u}) EXPECT_EQ(ClassifyExitCode(code), Outcome::kFailed);
}

TEST(OutcomeUrls, CarryTheSessionTheCodeAndTheVersion) {
  EXPECT_EQ(FailedHitUrl(L"0f8c2d5e-1111-2222-3333-444455556666", 3221225477u),
            L"https://localhost:18544/piwik.php?rec=1&url=nourl&apiv=1&idsite=2"
            L"&_id=0f8c2d5e-1111-2222-3333-444455556666&e_c=Undetermined&e_a=Failed&e_n=3221225477");
  EXPECT_EQ(CancellationPageUrl(L"1.2.3 beta"), L"http://localhost:18545/installation-cancelled/?v=1.2.3 beta");
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
  std::string text;
  EXPECT_TRUE(ReceiveCancellationMessage(test.channels, 2000, text));
  EXPECT_EQ(text, "cancelled by user");
  DWORD count = 0;
  GetMailslotInfo(test.channels.slot.get(), nullptr, nullptr, &count, nullptr);
  EXPECT_EQ(count, 1u);
}

TEST(ReceiveCancellationMessage, TakesAFullSixtyFourByteMessage) {
  TestChannels test;
  const std::string message(64, 'm');
  ASSERT_TRUE(test.Post(message));
  std::string text;
  EXPECT_TRUE(ReceiveCancellationMessage(test.channels, 2000, text));
  EXPECT_EQ(text, message);
}

TEST(ReceiveCancellationMessage, GivesUpAfterTheWaitWithoutAMessage) {
  TestChannels test;
  std::string text = "unchanged";
  const ULONGLONG start = GetTickCount64();
  EXPECT_FALSE(ReceiveCancellationMessage(test.channels, 300, text));
  EXPECT_LT(GetTickCount64() - start, 5000u);
  EXPECT_EQ(text, "unchanged");
}
