#include "files/protected_folder.h"

#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/paths.h"
#include "files/safe_file.h"

namespace {

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
  sid.resize(size);
  return sid;
}

void WriteSomething(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(file, "x", 1, &written, nullptr);
  CloseHandle(file);
}

// A scratch folder under the temporary folder, removed with what is in it.
struct Scratch {
  std::wstring path;
  explicit Scratch(const wchar_t* name) : path(*GetTempFolder() + name + L"\\") {
    CreateDirectoryW(path.c_str(), nullptr);
  }
  ~Scratch() {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (!DeleteFileW((path + name).c_str())) RemoveDirectoryW((path + name).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
  }
};

}  // namespace

// Wine does not store a DACL given at creation, so the descriptor the stub
// passes is what is checked.
TEST(AdministratorsOnlyDescriptor, IsAProtectedDaclForAdministratorsAndSystemPassedOnInside) {
  const auto descriptor = MakeAdministratorsOnlyDescriptor();
  ASSERT_TRUE(descriptor) << descriptor.error().systemError;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(descriptor->get(), &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED) << "entries of the parent would be inherited";
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor->get(), &present, &dacl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(dacl, nullptr) << "a null DACL grants everyone everything";
  ACL_SIZE_INFORMATION size = {};
  ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation));
  ASSERT_EQ(size.AceCount, 2u);
  const std::vector<std::vector<BYTE>> expected = {WellKnownSid(WinBuiltinAdministratorsSid),
                                                   WellKnownSid(WinLocalSystemSid)};
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* entry = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, &entry));
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ(allowed->Mask, static_cast<DWORD>(FILE_ALL_ACCESS));
    EXPECT_TRUE(EqualSid(const_cast<DWORD*>(&allowed->SidStart), const_cast<BYTE*>(expected[i].data())))
        << "entry " << i;
  }
}

TEST(MakeRunFolder, MakesAFreshFolderAndSkipsANameThatExists) {
  const Scratch parent(L"run-folder-test");
  // Left by an earlier run, or planted: a folder with a file, and a file.
  CreateDirectoryW((parent.path + L"taken").c_str(), nullptr);
  WriteSomething(parent.path + L"taken\\qmx1.tmp.exe");
  WriteSomething(parent.path + L"file");
  std::vector<std::wstring> names = {L"taken", L"file", L"fresh"};
  size_t next = 0;
  const auto folder = MakeRunFolder(parent.path, [&] { return names[next++]; });
  ASSERT_TRUE(folder) << folder.error().systemError;
  EXPECT_EQ(*folder, parent.path + L"fresh\\");
  EXPECT_EQ(next, 3u);
  EXPECT_NE(GetFileAttributesW(folder->c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_TRUE(FileExists(parent.path + L"taken\\qmx1.tmp.exe")) << "the old folder was touched";

  // The installer's names inside it, then the folder's end once they are gone.
  const auto installer = MakeInstallerPathIn(*folder);
  ASSERT_TRUE(installer);
  EXPECT_EQ(installer->rfind(*folder + L"qmx", 0), 0u);
  WriteSomething(*installer);
  EXPECT_FALSE(RemoveRunFolder(*folder, *installer)) << "a folder with the installer in it went";
  DeleteFileW(installer->c_str());
  EXPECT_TRUE(RemoveRunFolder(*folder, *installer));
  EXPECT_FALSE(FileExists(*folder));

  // A failure other than a taken name is not retried.
  next = 0;
  const auto missing = MakeRunFolder(parent.path + L"no such folder\\", [&] { ++next; return L"x"; });
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().systemError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(next, 1u);
}

TEST(EnsureAdministratorsOnlyFolder, MakesOrTakesAPlainFolderOnly) {
  const Scratch parent(L"copy-folder-test");
  const auto made = EnsureAdministratorsOnlyFolder(parent.path + L"copies");
  ASSERT_TRUE(made);
  EXPECT_EQ(*made, parent.path + L"copies\\");
  EXPECT_TRUE(EnsureAdministratorsOnlyFolder(parent.path + L"copies"));
  WriteSomething(parent.path + L"a file");
  const auto refused = EnsureAdministratorsOnlyFolder(parent.path + L"a file");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().systemError, static_cast<uint32_t>(ERROR_DIRECTORY));
}

TEST(DecideRemoval, DeletesFilesAndLinksItselfButNoFolder) {
  EXPECT_EQ(DecideRemoval(FILE_ATTRIBUTE_ARCHIVE), RemovalDecision::kDeletePlainFile);
  EXPECT_EQ(DecideRemoval(FILE_ATTRIBUTE_NORMAL), RemovalDecision::kDeletePlainFile);
  EXPECT_EQ(DecideRemoval(FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE), RemovalDecision::kDeleteLinkOnly);
  EXPECT_EQ(DecideRemoval(FILE_ATTRIBUTE_DIRECTORY), RemovalDecision::kRefuseFolder);
  // A junction is a folder that is a reparse point.
  EXPECT_EQ(DecideRemoval(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT), RemovalDecision::kRefuseFolder);
}

TEST(DeleteWithoutFollowingLinks, DeletesTheNameNeverWhatItPointsTo) {
  const Scratch parent(L"safe-delete-test");
  const std::wstring file = parent.path + L"plain.lnk";
  WriteSomething(file);
  const auto deleted = DeleteWithoutFollowingLinks(file);
  ASSERT_TRUE(deleted) << deleted.error().systemError;
  EXPECT_TRUE(*deleted);
  EXPECT_FALSE(FileExists(file));
  const auto again = DeleteWithoutFollowingLinks(file);
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again) << "nothing was there";

  CreateDirectoryW((parent.path + L"folder.lnk").c_str(), nullptr);
  const auto folder = DeleteWithoutFollowingLinks(parent.path + L"folder.lnk");
  ASSERT_FALSE(folder);
  EXPECT_EQ(folder.error().systemError, static_cast<uint32_t>(ERROR_DIRECTORY));
  EXPECT_TRUE(FileExists(parent.path + L"folder.lnk"));

  // Placing a finished file: onto a free name only.
  WriteSomething(parent.path + L"finished");
  WriteSomething(parent.path + L"taken");
  EXPECT_FALSE(PlaceWithoutFollowingLinks(parent.path + L"finished", parent.path + L"taken"));
  EXPECT_TRUE(PlaceWithoutFollowingLinks(parent.path + L"finished", parent.path + L"placed"));
  EXPECT_TRUE(FileExists(parent.path + L"placed"));
}
