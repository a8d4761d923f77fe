#include "files/log_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "files/held_folder.h"
#include "files/paths.h"
#include "log/log_setup.h"

namespace {

struct TestFolder {
  explicit TestFolder(const std::wstring& name) : path(*GetTempFolder() + name) {
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~TestFolder() {
    DeleteFileW((path + L"\\Pexmira\\QMXT.log").c_str());
    DeleteFileW((path + L"\\Pexmira\\second name").c_str());
    RemoveDirectoryW((path + L"\\Pexmira").c_str());
    DeleteFileW((path + L"\\Pexmira").c_str());
    RemoveDirectoryW(path.c_str());
  }
  std::wstring path;
};

std::wstring Id() { return std::to_wstring(GetCurrentProcessId()); }

}  // namespace

TEST(OpenUserLogFile, TheLogLivesInTheRoamingApplicationDataFolder) {
  const auto file = OpenUserLogFile(SignedInUser());
  ASSERT_TRUE(file) << file.error().systemError;
  wchar_t folder[MAX_PATH] = {};
  ASSERT_TRUE(GetEnvironmentVariableW(L"APPDATA", folder, MAX_PATH));
  const auto held = HeldFolder::Open(folder);
  ASSERT_TRUE(held);
  EXPECT_EQ(FinalPathOf(file->get()), held->finalPath() + L"\\Pexmira\\QMXT.log");
}

TEST(OpenLogFileBelow, MakesTheFolderAndFileAndWritesWhateverTheFolderIsCalled) {
  // A user name in Cyrillic and Chinese letters: no Western code page has them.
  TestFolder folder(L"log-\u0416\u0435\u043d\u044f-\u5f20\u4f1f-" + Id());
  auto file = OpenLogFileBelow(folder.path, SignedInUser());
  ASSERT_TRUE(file) << file.error().systemError;
  ConfigureLog(*std::move(file));
  LOG(INFO) << "Pexmira wrapper started";
  ConfigureLog(UniqueFile());

  UniqueFile written(CreateFileW((folder.path + L"\\Pexmira\\QMXT.log").c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(written);
  char text[256] = {};
  DWORD read = 0;
  ASSERT_TRUE(ReadFile(written.get(), text, sizeof(text) - 1, &read, nullptr));
  EXPECT_NE(std::string(text, read).find("INFO  Pexmira wrapper started\r\n"), std::string::npos) << text;
}

TEST(OpenLogFileBelow, RefusesALogWithASecondNameOrAFileForItsFolder) {
  TestFolder linked(L"log-linked-" + Id());
  ASSERT_TRUE(OpenLogFileBelow(linked.path, SignedInUser()));
  ASSERT_TRUE(CreateHardLinkW((linked.path + L"\\Pexmira\\second name").c_str(),
                              (linked.path + L"\\Pexmira\\QMXT.log").c_str(), nullptr));
  const auto refused = OpenLogFileBelow(linked.path, SignedInUser());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().systemError, kMoreThanOneLink);

  TestFolder file(L"log-file-" + Id());
  CloseHandle(CreateFileW((file.path + L"\\Pexmira").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  EXPECT_FALSE(OpenLogFileBelow(file.path, SignedInUser()));
}
