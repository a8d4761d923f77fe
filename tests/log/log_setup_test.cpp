#include "log/log_setup.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "common/unique_handle.h"
#include "files/paths.h"
#include "support/log_capture.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(LogSetup, RecordsHaveTheFixedFormatAndAppend) {
  const std::string path = Narrow(*GetTempFolder()) + "log-test-" + std::to_string(GetCurrentProcessId()) + ".log";
  ConfigureLog(OpenLogForAppend(path));
  LOG(INFO) << "Downloading config file";
  LOG(WARNING) << "GetMailslotInfo failed with error code " << 6u;
  LOG(ERROR) << "Can't download wrapper to " << Quoted(L"C:\\Temp\\qmx1.tmp.exe");
  ConfigureLog(OpenLogForAppend(path));  // a second run appends to the same file
  LOG(INFO) << "Pexmira wrapper started";
  ConfigureLog(UniqueFile());

  const std::string text = ReadAll(path);
  const std::regex records(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  Downloading config file\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} WARN  GetMailslotInfo failed with error code 6\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} ERROR Can't download wrapper to "
      "\"C:\\\\Temp\\\\qmx1.tmp.exe\"\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  Pexmira wrapper started\r\n");
  EXPECT_TRUE(std::regex_match(text, records)) << text;
  DeleteFileA(path.c_str());
}

TEST(LogSetup, WidePiecesAreWrittenAsUtf8) {
  EXPECT_EQ(Utf8(L"C:\\Users\\\u0416\u0435\u043d\u044f\\Temp"), "C:\\Users\\\xd0\x96\xd0\xb5\xd0\xbd\xd1\x8f\\Temp");
  EXPECT_EQ(Utf8(static_cast<const wchar_t*>(nullptr)), "nullptr");
  EXPECT_EQ(Utf8(L""), "");
  EXPECT_EQ(Quoted(L"a b"), "\"a b\"");
}

TEST(LogSetup, ControlCharactersInValuesCannotForgeARecord) {
  EXPECT_EQ(Quoted(L"a\r\n2026-12-08 10:00:00,000 INFO  forged\x1b[0m\t\x7f"),
            "\"a\\r\\n2026-12-08 10:00:00,000 INFO  forged\\x1b[0m\\t\\x7f\"");
  EXPECT_EQ(LogText(std::string("Expected value at line 1\nand column 6")), "Expected value at line 1\\nand column 6");
  EXPECT_EQ(Quoted(L"C:\\Users\\\u0416\u0435\u043d\u044f \"1.2\""),
            "\"C:\\Users\\\xd0\x96\xd0\xb5\xd0\xbd\xd1\x8f \"1.2\"\"")
      << "ordinary text is unchanged";
}

TEST(LogSetup, LineAndDirectionControlsCannotForgeOrReorderARecord) {
  const struct {
    const wchar_t* value;
    const char* shown;
  } cases[] = {
      {L"a\u2028b\u2029c\u0085d", "a\\u2028b\\u2029c\\u0085d"},
      {L"\u061c\u200e\u200f", "\\u061c\\u200e\\u200f"},
      {L"\u202a\u202b\u202c\u202d\u202e", "\\u202a\\u202b\\u202c\\u202d\\u202e"},
      {L"\u2066\u2067\u2068\u2069", "\\u2066\\u2067\\u2068\\u2069"},
      {L"setup\u202egnp.exe", "setup\\u202egnp.exe"},
      // Their neighbours are ordinary text.
      {L"\u2027\u202f\u2065\u206a\u200d\u0084\u061b",
       "\xe2\x80\xa7\xe2\x80\xaf\xe2\x81\xa5\xe2\x81\xaa\xe2\x80\x8d\xc2\x84\xd8\x9b"},
  };
  for (const auto& c : cases) EXPECT_EQ(LogText(std::wstring(c.value)), c.shown) << c.shown;
  EXPECT_EQ(LogText(std::string("cut \xe2\x80")), "cut \xe2\x80") << "a cut sequence at the end is left as it is";
}

TEST(LogSetup, TwoThreadsWritingAtOnceLeaveEveryRecordWhole) {
  const std::string path = Narrow(*GetTempFolder()) + "log-threads-" + std::to_string(GetCurrentProcessId()) + ".log";
  ConfigureLog(OpenLogForAppend(path));
  constexpr int kRecords = 2000;
  const auto write = [](const char* name) {
    for (int i = 0; i < kRecords; ++i) LOG(INFO) << name << " record " << i << " of the download's progress";
  };
  std::thread watchdog(write, "watchdog");
  write("main");
  watchdog.join();
  ConfigureLog(UniqueFile());

  std::istringstream lines(ReadAll(path));
  const std::regex record("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  (main|watchdog) record \\d+ of the "
                          "download's progress\r");
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_TRUE(std::regex_match(line, record)) << "line " << count << ": " << line;
  }
  EXPECT_EQ(count, 2 * kRecords);
  DeleteFileA(path.c_str());
}
