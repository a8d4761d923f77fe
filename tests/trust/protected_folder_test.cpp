#include "trust/protected_folder.h"

#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/paths.h"
#include "support/scratch_folder.h"
#include "trust/run_folder.h"

namespace {

using scratch_folder::Scratch;
using scratch_folder::WriteSomething;

std::vector<BYTE> WellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = static_cast<DWORD>(sid.size());
  EXPECT_TRUE(CreateWellKnownSid(type, nullptr, sid.data(), &size));
  sid.resize(size);
  return sid;
}

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

  // A failure other than a taken name is not retried.
  next = 0;
  const auto missing = MakeRunFolder(parent.path + L"no such folder\\", [&] {
    ++next;
    return L"x";
  });
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().systemError, static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(next, 1u);
}

TEST(RunFolder, EmptiesAndRemovesItselfThroughItsHandle) {
  const Scratch parent(L"run-folder-handle-test");
  auto run = RunFolder::Make(parent.path);
  ASSERT_TRUE(run) << run.error().systemError;
  // Wine keeps no descriptors, so there the chain can't be judged.
  EXPECT_EQ(run->chainCheck(), ChainCheck::kNotKept);
  const auto installer = MakeInstallerPathIn(run->path());
  ASSERT_TRUE(installer);
  WriteSomething(*installer);
  const auto notEmpty = run->Remove(0);
  ASSERT_FALSE(notEmpty) << "a folder with the installer in it went";
  EXPECT_EQ(notEmpty.error().systemError, static_cast<uint32_t>(ERROR_DIR_NOT_EMPTY));

  for (const std::wstring& name : {FileNameOf(*installer), PlaceholderNameOf(*installer)}) {
    const auto deleted = run->DeleteFile(name);
    ASSERT_TRUE(deleted) << deleted.error().systemError;
    EXPECT_TRUE(*deleted);
  }
  const auto again = run->DeleteFile(FileNameOf(*installer));
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again) << "nothing was left to delete";
  ASSERT_TRUE(run->Remove(0));
  EXPECT_FALSE(FileExists(run->path()));
}

namespace {

constexpr DWORD kRead = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
constexpr DWORD kAddEntries = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
// Facts of a folder: whether its owner is trusted and what others may do.
FolderFacts Facts(DWORD others, bool ownerTrusted = true, bool reparsePoint = false) {
  FolderFacts facts;
  facts.ownerTrusted = ownerTrusted;
  facts.othersRights = others;
  facts.reparsePoint = reparsePoint;
  return facts;
}

}  // namespace

TEST(ChainIsProtected, NoOtherAccountMayRenameReplaceOrFillAnyFolderOfIt) {
  // The drive's root and the system's temporary folder as Windows sets them:
  // users may add entries to both, but remove or rename none but their own.
  const FolderFacts root = Facts(kRead | FILE_ADD_SUBDIRECTORY);
  const FolderFacts windows = Facts(kRead);
  const FolderFacts temp = Facts(FILE_TRAVERSE | kAddEntries);
  const FolderFacts run = Facts(0);
  const struct {
    const char* what;
    std::vector<FolderFacts> chain;
    bool protectedChain;
  } cases[] = {
      {"the system's temporary folder", {root, windows, temp, run}, true},
      {"a user's program may add to the run's folder", {root, windows, temp, Facts(FILE_ADD_FILE)}, false},
      {"a user's program may delete from the temporary folder", {root, windows, Facts(FILE_DELETE_CHILD), run}, false},
      {"a user's program may rename a folder", {root, Facts(kRead | DELETE), temp, run}, false},
      {"a user's program may rewrite a descriptor", {root, Facts(kRead | WRITE_DAC), temp, run}, false},
      {"a folder of the chain is the user's", {root, windows, Facts(kRead, false), run}, false},
      {"a junction on the way", {root, Facts(kRead, true, true), temp, run}, false},
      {"the user's own temporary folder", {root, windows, Facts(FILE_ALL_ACCESS, false), run}, false},
      {"no chain at all", {}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ChainIsProtected(c.chain), c.protectedChain) << c.what;
}

TEST(ExistingFolderIsTrusted, OnlyAnAdministratorsFolderThatNobodyElseMayChange) {
  FolderFacts file = Facts(kRead);
  file.folder = false;
  const struct {
    const char* what;
    FolderFacts facts;
    bool trusted;
  } cases[] = {
      {"made by the stub: users may read and start", Facts(kRead), true},
      {"owned by the user", Facts(kRead, false), false},
      {"others may add files", Facts(kRead | FILE_ADD_FILE), false},
      {"others may delete", Facts(kRead | DELETE), false},
      {"others may delete what is inside", Facts(kRead | FILE_DELETE_CHILD), false},
      {"others may change its descriptor", Facts(kRead | WRITE_OWNER), false},
      {"a junction", Facts(kRead, true, true), false},
      {"a file", file, false},
  };
  for (const auto& c : cases) EXPECT_EQ(ExistingFolderIsTrusted(c.facts), c.trusted) << c.what;
}
