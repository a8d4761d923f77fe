#include "log/log_setup.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

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
  const std::string folder = Narrow(GetTempFolder()) + "log-test-" + std::to_string(GetCurrentProcessId());
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
