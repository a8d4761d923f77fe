#include "files/log_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
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
    DeleteFileW((path + L"\\Pexmira\\QMXT.log.1").c_str());
    RemoveDirectoryW((path + L"\\Pexmira\\QMXT.log.1").c_str());
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
  const auto log = OpenUserLogFile(SignedInUser());
  ASSERT_TRUE(log) << log.error().systemError;
  wchar_t folder[MAX_PATH] = {};
  ASSERT_TRUE(GetEnvironmentVariableW(L"APPDATA", folder, MAX_PATH));
  const auto held = HeldFolder::Open(folder);
  ASSERT_TRUE(held);
  const auto final = FinalPathOf(log->file.get());
  ASSERT_TRUE(final);
  EXPECT_EQ(*final, held->finalPath() + L"\\Pexmira\\QMXT.log");
}

TEST(OpenLogFileBelow, MakesTheFolderAndFileAndWritesWhateverTheFolderIsCalled) {
  // A user name in Cyrillic and Chinese letters: no Western code page has them.
  TestFolder folder(L"log-\u0416\u0435\u043d\u044f-\u5f20\u4f1f-" + Id());
  auto log = OpenLogFileBelow(folder.path, SignedInUser());
  ASSERT_TRUE(log) << log.error().systemError;
  ConfigureLog(std::move(log->file));
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

namespace {

void WriteLog(const std::wstring& path, uint64_t size) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  ASSERT_TRUE(file);
  const std::string piece(4096, 'x');
  for (uint64_t written = 0; written < size;) {
    const DWORD part = static_cast<DWORD>(std::min<uint64_t>(piece.size(), size - written));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file.get(), piece.data(), part, &done, nullptr));
    written += done;
  }
}

uint64_t SizeOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return UINT64_MAX;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

TEST(OpenLogFileBelow, MovesALogPastTheLimitAsideReplacingTheOlderOne) {
  const struct {
    uint64_t size;
    bool olderOne;
    LogRotation rotation;
  } cases[] = {
      {kMaxLogBytes, true, LogRotation::kNone},
      {kMaxLogBytes + 1, false, LogRotation::kMovedAside},
      {kMaxLogBytes + 1, true, LogRotation::kMovedAside},
  };
  for (const auto& c : cases) {
    TestFolder folder(L"log-rotation-" + Id());
    ASSERT_TRUE(OpenLogFileBelow(folder.path, SignedInUser()));
    const std::wstring current = folder.path + L"\\Pexmira\\QMXT.log";
    const std::wstring older = folder.path + L"\\Pexmira\\QMXT.log.1";
    WriteLog(current, c.size);
    if (c.olderOne) WriteLog(older, 10);
    auto log = OpenLogFileBelow(folder.path, SignedInUser());
    ASSERT_TRUE(log) << log.error().systemError;
    EXPECT_EQ(log->rotation, c.rotation) << c.size;
    const bool moved = c.rotation == LogRotation::kMovedAside;
    EXPECT_EQ(SizeOf(current), moved ? 0 : c.size);
    EXPECT_EQ(SizeOf(older), moved ? c.size : 10u);
    EXPECT_EQ(log->previousBytes, moved ? c.size : 0u);
    const auto final = FinalPathOf(log->file.get());
    ASSERT_TRUE(final);
    EXPECT_EQ(*final, L"\\\\?\\" + log->folder + L"\\QMXT.log");
  }
}

TEST(OpenLogFileBelow, ALogThatCannotBeMovedAsideIsAppendedTo) {
  // A folder under the old log's name: nothing replaces it.
  TestFolder folder(L"log-unmoved-" + Id());
  ASSERT_TRUE(OpenLogFileBelow(folder.path, SignedInUser()));
  ASSERT_TRUE(CreateDirectoryW((folder.path + L"\\Pexmira\\QMXT.log.1").c_str(), nullptr));
  WriteLog(folder.path + L"\\Pexmira\\QMXT.log", kMaxLogBytes + 1);
  auto log = OpenLogFileBelow(folder.path, SignedInUser());
  ASSERT_TRUE(log) << log.error().systemError;
  EXPECT_EQ(log->rotation, LogRotation::kNotMoved);
  EXPECT_NE(log->rotationError, 0u);
  EXPECT_EQ(log->previousBytes, kMaxLogBytes + 1);
  EXPECT_EQ(SizeOf(folder.path + L"\\Pexmira\\QMXT.log"), kMaxLogBytes + 1);
}
