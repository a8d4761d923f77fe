#include "files/shortcut.h"

#include <objbase.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <thread>

#include "files/paths.h"

using Microsoft::WRL::ComPtr;

namespace {

struct ComScope {
  ComScope() { CoInitialize(nullptr); }
  ~ComScope() { CoUninitialize(); }
};

std::wstring TestPath(const wchar_t* name) { return *GetTempFolder() + name; }

}  // namespace

TEST(CreateContinueShortcut, WritesALinkToTheTargetWithItsDescription) {
  ComScope com;
  const std::wstring target = TestPath(L"qmxtl_setup.exe");
  const std::wstring link = TestPath(L"Continue installation test.lnk");
  DeleteFileW(link.c_str());
  ASSERT_TRUE(CreateContinueShortcut(target, link));
  ASSERT_TRUE(FileExists(link));

  ComPtr<IShellLinkW> read;
  ASSERT_GE(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(read.GetAddressOf())),
            0);
  ComPtr<IPersistFile> file;
  ASSERT_GE(read.As(&file), 0);
  ASSERT_GE(file->Load(link.c_str(), STGM_READ), 0);
  wchar_t path[MAX_PATH] = {};
  wchar_t description[MAX_PATH] = {};
  ASSERT_GE(read->GetPath(path, MAX_PATH, nullptr, SLGP_RAWPATH), 0);
  ASSERT_GE(read->GetDescription(description, MAX_PATH), 0);
  EXPECT_EQ(_wcsicmp(path, target.c_str()), 0) << path;
  EXPECT_STREQ(description, L"Continue installation of Tessaloom");

  // An existing link is overwritten.
  EXPECT_TRUE(CreateContinueShortcut(target, link));
  DeleteFileW(link.c_str());
}

TEST(CreateContinueShortcut, FailsWithoutComAndWritesNothing) {
  const std::wstring link = TestPath(L"Continue installation no com.lnk");
  DeleteFileW(link.c_str());
  Status result;
  std::thread([&] { result = CreateContinueShortcut(TestPath(L"x.exe"), link); }).join();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().systemError, static_cast<uint32_t>(CO_E_NOTINITIALIZED));
  EXPECT_FALSE(FileExists(link));
}

TEST(CreateContinueShortcut, ALinkInAMissingFolderFailsToSave) {
  ComScope com;
  const std::wstring link = TestPath(L"no-such-folder\\Continue installation.lnk");
  EXPECT_FALSE(CreateContinueShortcut(TestPath(L"x.exe"), link));
  EXPECT_FALSE(FileExists(link));
}
