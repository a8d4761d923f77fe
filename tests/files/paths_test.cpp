#include "files/paths.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "support/scratch_folder.h"

namespace {

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(MakeInstallerPathIn, GivesFreshNamesAndLeavesTheirPlaceholders) {
  const auto temp = GetTempFolder();
  ASSERT_TRUE(temp);
  const std::wstring folder = *temp;
  ASSERT_FALSE(folder.empty());
  ASSERT_EQ(folder.back(), L'\\');

  const auto firstPath = MakeInstallerPathIn(folder);
  const auto secondPath = MakeInstallerPathIn(folder);
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

TEST(MeansDoesNotExist, OnlyTheEightAbsenceCodesMeanMissing) {
  for (unsigned long code : {2ul, 3ul, 15ul, 21ul, 53ul, 87ul, 123ul, 161ul}) {
    EXPECT_TRUE(MeansDoesNotExist(code)) << code;
  }
  for (unsigned long code : {0ul, 1ul, 5ul, 32ul, 33ul, 67ul, 1920ul}) {
    EXPECT_FALSE(MeansDoesNotExist(code)) << code;
  }
}
