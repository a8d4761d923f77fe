#include "files/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(MakeTempInstallerPath, GivesFreshNamesAndLeavesTheirPlaceholders) {
  const auto temp = GetTempFolder();
  ASSERT_TRUE(temp);
  const std::wstring folder = *temp;
  ASSERT_FALSE(folder.empty());
  ASSERT_EQ(folder.back(), L'\\');

  const auto firstPath = MakeTempInstallerPath();
  const auto secondPath = MakeTempInstallerPath();
  ASSERT_TRUE(firstPath && secondPath);
  const std::wstring first = *firstPath;
  const std::wstring second = *secondPath;
  EXPECT_NE(first, second);
  for (const std::wstring& path : {first, second}) {
    EXPECT_EQ(path.rfind(folder + L"qmx", 0), 0u) << path;
    EXPECT_TRUE(EndsWith(path, L".tmp.exe")) << path;
    const std::wstring placeholder = path.substr(0, path.size() - 4);
    EXPECT_TRUE(FileExists(placeholder)) << "placeholder " << placeholder.c_str();
    EXPECT_FALSE(FileExists(path));
    DeleteFileW(placeholder.c_str());
  }
}

TEST(FileNames, TheLastNameAndThePlaceholderOfAnInstaller) {
  EXPECT_EQ(FileNameOf(L"C:\\Windows\\Temp\\qmx-1\\qmxA1B2.tmp.exe"), L"qmxA1B2.tmp.exe");
  EXPECT_EQ(FileNameOf(L"qmx.exe"), L"qmx.exe");
  EXPECT_EQ(PlaceholderNameOf(L"C:\\Windows\\Temp\\qmx-1\\qmxA1B2.tmp.exe"), L"qmxA1B2.tmp");
  EXPECT_EQ(PlaceholderNameOf(L"C:\\x\\.exe"), L".exe") << "no name is left to be a placeholder";
}

TEST(FileExists, FilesAndFoldersExistMissingOnesDoNot) {
  const std::wstring folder = *GetTempFolder();
  const std::wstring file = folder + L"file-exists-test.txt";
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);

  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(FileExists(folder));
  EXPECT_TRUE(FileExists(folder.substr(0, folder.size() - 1)));
  // Opened without sharing: its attributes can still be read, so it exists.
  EXPECT_TRUE(FileExists(file));
  CloseHandle(handle);
  DeleteFileW(file.c_str());

  EXPECT_FALSE(FileExists(file));
  EXPECT_FALSE(FileExists(folder + L"no-such-folder\\file.txt"));
  EXPECT_FALSE(FileExists(L"bad\x01name?.txt"));
}

TEST(FileExists, OnlyTheEightAbsenceCodesMeanMissing) {
  for (unsigned long code : {2ul, 3ul, 15ul, 21ul, 53ul, 87ul, 123ul, 161ul}) {
    EXPECT_TRUE(MeansDoesNotExist(code)) << code;
  }
  for (unsigned long code : {0ul, 1ul, 5ul, 32ul, 33ul, 67ul, 1920ul}) {
    EXPECT_FALSE(MeansDoesNotExist(code)) << code;
  }
}
