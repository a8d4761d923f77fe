// The stub's version resource, read back from the built executable the way
// Explorer's file properties and the elevation prompt read it.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected_version_info.h"

namespace {

std::wstring StubPath() {
  std::wstring self(MAX_PATH, L'\0');
  self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
  return self.substr(0, self.find_last_of(L"\\/") + 1) + STUB_EXECUTABLE_NAME_W;
}

std::vector<BYTE> ReadVersionInfo(const std::wstring& path) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> block(size);
  if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
    block.clear();
  }
  return block;
}

// The value at a VerQueryValueW path, and its length in the units the
// function reports (characters for strings, bytes for binary values).
struct Value {
  const void* data = nullptr;
  UINT length = 0;
};

Value Query(std::vector<BYTE>& block, const std::wstring& subBlock) {
  Value value;
  void* data = nullptr;
  if (VerQueryValueW(block.data(), subBlock.c_str(), &data, &value.length)) {
    value.data = data;
  }
  return value;
}

class VersionInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    block_ = ReadVersionInfo(StubPath());
    ASSERT_FALSE(block_.empty()) << "no version resource in the stub, error " << GetLastError();
  }

  std::wstring String(const wchar_t* name) {
    const Value value = Query(block_, std::wstring(L"\\StringFileInfo\\040904B0\\") + name);
    if (value.data == nullptr) {
      return L"<missing>";
    }
    return std::wstring(static_cast<const wchar_t*>(value.data));
  }

  std::vector<BYTE> block_;
};

TEST_F(VersionInfoTest, FixedPartCarriesTheProjectVersionOfAReleasedApplication) {
  const Value value = Query(block_, L"\\");
  ASSERT_NE(value.data, nullptr);
  ASSERT_EQ(value.length, sizeof(VS_FIXEDFILEINFO));
  const auto& fixed = *static_cast<const VS_FIXEDFILEINFO*>(value.data);
  EXPECT_EQ(fixed.dwSignature, 0xFEEF04BDu);
  const DWORD high = MAKELONG(EXPECTED_VERSION_MINOR, EXPECTED_VERSION_MAJOR);
  const DWORD low = MAKELONG(EXPECTED_VERSION_TWEAK, EXPECTED_VERSION_PATCH);
  EXPECT_EQ(fixed.dwFileVersionMS, high);
  EXPECT_EQ(fixed.dwFileVersionLS, low);
  EXPECT_EQ(fixed.dwProductVersionMS, high);
  EXPECT_EQ(fixed.dwProductVersionLS, low);
  // Neither a debug build nor a pre-release, private or special build.
  EXPECT_EQ(fixed.dwFileFlags & fixed.dwFileFlagsMask, 0u);
  EXPECT_EQ(fixed.dwFileOS, static_cast<DWORD>(VOS_NT_WINDOWS32));
  EXPECT_EQ(fixed.dwFileType, static_cast<DWORD>(VFT_APP));
}

TEST_F(VersionInfoTest, OneTranslationUsEnglishUnicode) {
  const Value value = Query(block_, L"\\VarFileInfo\\Translation");
  ASSERT_NE(value.data, nullptr);
  ASSERT_EQ(value.length, 4u);
  const auto* pair = static_cast<const WORD*>(value.data);
  EXPECT_EQ(pair[0], 0x0409);
  EXPECT_EQ(pair[1], 1200);
}

TEST_F(VersionInfoTest, EveryStringIsTheBuildsSetting) {
  EXPECT_EQ(String(L"CompanyName"), EXPECTED_COMPANY_NAME);
  EXPECT_EQ(String(L"ProductName"), EXPECTED_PRODUCT_NAME);
  EXPECT_EQ(String(L"FileDescription"), EXPECTED_FILE_DESCRIPTION);
  EXPECT_EQ(String(L"OriginalFilename"), EXPECTED_ORIGINAL_FILENAME);
  EXPECT_EQ(String(L"InternalName"), L"tessaloom_setup");
  // Non-ASCII text (the copyright sign) arrives intact.
  EXPECT_EQ(String(L"LegalCopyright"), EXPECTED_COPYRIGHT);
  EXPECT_EQ(String(L"FileVersion"), EXPECTED_VERSION_TEXT);
  EXPECT_EQ(String(L"ProductVersion"), EXPECTED_VERSION_TEXT);
}

}  // namespace
