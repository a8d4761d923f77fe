#include "log/log_setup.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "common/unique_handle.h"
#include "files/paths.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

TEST(LogSetup, RecordsHaveTheFixedFormatAppendAndCreateTheFolder) {
  const std::string folder = Narrow(*GetTempFolder()) + "log-test-" + std::to_string(GetCurrentProcessId());
  const std::string path = folder + "\\Pexmira\\QMXT.log";
  ConfigureLogFile(path);
  LOG(INFO) << "Downloading config file";
  LOG(WARNING) << "GetMailslotInfo failed with error code " << 6u;
  LOG(ERROR) << "Can't download wrapper to " << Quoted(L"C:\\Temp\\qmx1.tmp.exe");
  ConfigureLogFile(path);  // a second run appends to the same file
  LOG(INFO) << "Pexmira wrapper started";
  ConfigureLogFile("");

  const std::string text = ReadAll(path);
  const std::regex records(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  Downloading config file\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} WARN  GetMailslotInfo failed with error code 6\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} ERROR Can't download wrapper to \"C:\\\\Temp\\\\qmx1.tmp.exe\"\r\n"
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  Pexmira wrapper started\r\n");
  EXPECT_TRUE(std::regex_match(text, records)) << text;
  DeleteFileA(path.c_str());
  RemoveDirectoryA((folder + "\\Pexmira").c_str());
  RemoveDirectoryA(folder.c_str());
}

TEST(LogSetup, WidePiecesAreWrittenAsUtf8) {
  EXPECT_EQ(Utf8(L"C:\\Users\\\u0416\u0435\u043d\u044f\\Temp"), "C:\\Users\\\xd0\x96\xd0\xb5\xd0\xbd\xd1\x8f\\Temp");
  EXPECT_EQ(Utf8(static_cast<const wchar_t*>(nullptr)), "nullptr");
  EXPECT_EQ(Utf8(L""), "");
  EXPECT_EQ(Quoted(L"a b"), "\"a b\"");
}

TEST(LogSetup, TheLogLivesInTheRoamingApplicationDataFolder) {
  char folder[MAX_PATH] = {};
  ASSERT_TRUE(GetEnvironmentVariableA("APPDATA", folder, MAX_PATH));
  EXPECT_EQ(LogFilePath(), std::string(folder) + "\\Pexmira\\QMXT.log");
}

TEST(LogSetup, ControlCharactersInValuesCannotForgeARecord) {
  EXPECT_EQ(Quoted(L"a\r\n2026-12-08 10:00:00,000 INFO  forged\x1b[0m\t\x7f"),
            "\"a\\r\\n2026-12-08 10:00:00,000 INFO  forged\\x1b[0m\\t\\x7f\"");
  EXPECT_EQ(LogText(std::string("Expected value at line 1\nand column 6")),
            "Expected value at line 1\\nand column 6");
  EXPECT_EQ(Quoted(L"C:\\Users\\\u0416\u0435\u043d\u044f \"1.2\""),
            "\"C:\\Users\\\xd0\x96\xd0\xb5\xd0\xbd\xd1\x8f \"1.2\"\"") << "ordinary text is unchanged";
}

namespace {

struct TestFolder {
  explicit TestFolder(const std::wstring& name) : path(*GetTempFolder() + name) {}
  ~TestFolder() {
    DeleteFileW((path + L"\\Pexmira\\QMXT.log").c_str());
    RemoveDirectoryW((path + L"\\Pexmira").c_str());
    RemoveDirectoryW(path.c_str());
  }
  std::wstring path;
};

}  // namespace

TEST(LogSetup, AFolderNameBeyondTheCodePageStillGetsItsLog) {
  // A user name in Cyrillic and Chinese letters: no Western code page has them.
  TestFolder folder(L"log-\u0416\u0435\u043d\u044f-\u5f20\u4f1f-" + std::to_wstring(GetCurrentProcessId()));
  ASSERT_TRUE(CreateDirectoryW(folder.path.c_str(), nullptr));
  const std::string path = LogFilePathFor(folder.path);
  ASSERT_FALSE(path.empty());
  ConfigureLogFile(path);
  LOG(INFO) << "Pexmira wrapper started";
  ConfigureLogFile("");

  UniqueFile file(CreateFileW((folder.path + L"\\Pexmira\\QMXT.log").c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file) << "the record went elsewhere: " << path;
  char text[256] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(file.get(), text, sizeof(text) - 1, &read, nullptr));
  EXPECT_NE(std::string(text, read).find("INFO  Pexmira wrapper started\r\n"), std::string::npos) << text;
}

TEST(LogSetup, TwoThreadsWritingAtOnceLeaveEveryRecordWhole) {
  TestFolder folder(L"log-threads-" + std::to_wstring(GetCurrentProcessId()));
  const std::string path = Narrow(folder.path) + "\\Pexmira\\QMXT.log";
  ConfigureLogFile(path);
  constexpr int kRecords = 2000;
  const auto write = [](const char* name) {
    for (int i = 0; i < kRecords; ++i) LOG(INFO) << name << " record " << i << " of the download's progress";
  };
  std::thread watchdog(write, "watchdog");
  write("main");
  watchdog.join();
  ConfigureLogFile("");

  std::istringstream lines(ReadAll(path));
  const std::regex record(
      "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d,\\d{3} INFO  (main|watchdog) record \\d+ of the download's progress\r");
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_TRUE(std::regex_match(line, record)) << "line " << count << ": " << line;
  }
  EXPECT_EQ(count, 2 * kRecords);
}
