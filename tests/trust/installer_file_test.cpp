#include "trust/installer_file.h"

#include <gtest/gtest.h>

#include <ios>
#include <string>

#include "files/paths.h"

namespace {

std::wstring WriteFile(const wchar_t* name, const std::string& bytes) {
  const std::wstring path = *GetTempFolder() + name;
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return path;
}

std::string Hex(const Sha256Digest& digest) {
  std::string text;
  for (uint8_t byte : digest) {
    char pair[3];
    snprintf(pair, sizeof(pair), "%02x", byte);
    text += pair;
  }
  return text;
}

}  // namespace

TEST(InstallerFile, DigestGivesCrc32AndSha256InOnePass) {
  const std::wstring path = WriteFile(L"digest-test.bin", "abc");
  auto opened = OpenInstallerExclusively(path);
  ASSERT_TRUE(opened);
  UniqueFile file = *std::move(opened);
  const auto digest = DigestInstaller(file.get(), true);
  ASSERT_TRUE(digest) << digest.error().systemError;
  EXPECT_EQ(digest->crc32, 0x352441C2u);
  EXPECT_EQ(Hex(digest->sha256), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  // Without SHA-256, and again from the start of the same handle.
  const auto crcOnly = DigestInstaller(file.get(), false);
  ASSERT_TRUE(crcOnly);
  EXPECT_EQ(crcOnly->crc32, 0x352441C2u);

  // A handle that can't be read gives the read's error.
  UniqueFile writeOnly(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  file.reset();
  writeOnly.reset(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  const auto unreadable = DigestInstaller(writeOnly.get(), false);
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(unreadable.error().code, ErrorCode::kNone) << "the step that reads it decides what the user is told";
  EXPECT_EQ(unreadable.error().systemError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  writeOnly.reset();
  file.reset();
  DeleteFileW(path.c_str());
}

TEST(InstallerFile, WhileHeldNobodyCanChangeOrDeleteIt) {
  const std::wstring path = WriteFile(L"held-installer.exe", std::string(300000, 'x'));
  {
    auto held = OpenInstallerExclusively(path);
    ASSERT_TRUE(held);
    UniqueFile writer(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(writer) << "opened for writing";
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(MoveFileExW(path.c_str(), (path + L".moved").c_str(), MOVEFILE_REPLACE_EXISTING));
    // Readers are welcome.
    UniqueFile reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(reader);
  }
  EXPECT_TRUE(DeleteFileW(path.c_str())) << "released when the handle closes";
}

TEST(InstallerFile, AMissingFileGivesTheSystemsReason) {
  const auto missing = OpenInstallerExclusively(*GetTempFolder() + L"no-such-folder\\qmx.exe");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ErrorCode::kNone);
  EXPECT_EQ(missing.error().systemError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
}

TEST(ProcessRunsFile, TellsTheHeldFileFromAnotherByItsIdentity) {
  // This test program itself, started suspended: it never runs a line.
  wchar_t self[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::wstring copy = *GetTempFolder() + L"process-runs-file-copy.exe";
  ASSERT_TRUE(CopyFileW(self, copy.c_str(), FALSE));
  std::wstring commandLine = InstallerCommandLine(self, L"--gtest_list_tests");
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created = {};
  ASSERT_TRUE(CreateProcessW(self, &commandLine[0], nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr,
                             &startup, &created));
  const UniqueHandle<KernelHandleTraits> process(created.hProcess), thread(created.hThread);
  const auto open = [](const std::wstring& path) {
    return UniqueFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  };
  const auto same = ProcessRunsFile(process.get(), open(self).get());
  const auto other = ProcessRunsFile(process.get(), open(copy).get());
  TerminateProcess(process.get(), 1);
  WaitForSingleObject(process.get(), 5000);
  DeleteFileW(copy.c_str());
  ASSERT_TRUE(same && other);
  EXPECT_TRUE(*same);
  EXPECT_FALSE(*other) << "a copy with the same bytes is another file";
}
