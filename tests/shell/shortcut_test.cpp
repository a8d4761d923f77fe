#include "shell/shortcut.h"

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

TEST(MakeContinueShortcut, MakesALinkToTheTargetWithItsDescription) {
  ComScope com;
  const std::wstring target = TestPath(L"qmxtl_setup.exe");
  const auto bytes = MakeContinueShortcut(target);
  ASSERT_TRUE(bytes) << bytes.error().systemError;
  const std::wstring link = TestPath(L"Continue installation test.lnk");
  {
    HANDLE file = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &written, nullptr);
    CloseHandle(file);
  }

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
  DeleteFileW(link.c_str());
}

TEST(MakeContinueShortcut, FailsWithoutCom) {
  Result<std::vector<unsigned char>> result = std::vector<unsigned char>();
  std::thread([&] { result = MakeContinueShortcut(TestPath(L"x.exe")); }).join();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().systemError, static_cast<uint32_t>(CO_E_NOTINITIALIZED));
}
