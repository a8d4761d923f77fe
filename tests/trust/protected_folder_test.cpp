#include "trust/protected_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

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
  PSID owner = nullptr;
  BOOL ownerDefaulted = TRUE;
  ASSERT_TRUE(GetSecurityDescriptorOwner(descriptor->get(), &owner, &ownerDefaulted));
  auto administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  EXPECT_TRUE(owner != nullptr && EqualSid(owner, administrators.data())) << "the token's default owner would decide";
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

  for (const std::wstring& name : {FileNameOf(*installer), PlaceholderNameOf(*installer)}) {
    const auto deleted = run->DeleteFile(name);
    ASSERT_TRUE(deleted) << deleted.error().systemError;
    EXPECT_TRUE(*deleted);
  }
  const auto again = run->DeleteFile(FileNameOf(*installer));
  ASSERT_TRUE(again);
  EXPECT_FALSE(*again) << "nothing was left to delete";
  const auto removed = run->RemoveAll(0);
  ASSERT_TRUE(removed) << removed.error().systemError;
  EXPECT_FALSE(removed->scheduledForRestart);
  EXPECT_FALSE(FileExists(run->path()));
}

TEST(RunFolder, RemovesWhatTheInstallerLeftInItsTemporaryFolder) {
  const Scratch parent(L"run-folder-tree-test");
  auto run = RunFolder::Make(parent.path);
  ASSERT_TRUE(run) << run.error().systemError;
  const auto temp = run->MakeInstallerTempFolder();
  ASSERT_TRUE(temp) << temp.error().systemError;
  EXPECT_FALSE(run->MakeInstallerTempFolder()) << "a second one under the same name";
  // An installer toolkit's leftovers: nested folders, a read-only file.
  ASSERT_TRUE(CreateDirectoryW((*temp + L"\\nsis1").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((*temp + L"\\nsis1\\plugins").c_str(), nullptr));
  WriteSomething(*temp + L"\\nsis1\\plugins\\System.dll");
  WriteSomething(*temp + L"\\setup.log");
  ASSERT_TRUE(SetFileAttributesW((*temp + L"\\setup.log").c_str(), FILE_ATTRIBUTE_READONLY));
  WriteSomething(run->path() + L"qmx1.tmp.exe");
  const auto removed = run->RemoveAll(0);
  ASSERT_TRUE(removed) << removed.error().systemError;
  EXPECT_EQ(removed->holderError, 0u);
  EXPECT_FALSE(FileExists(run->path()));
}

// A scanner that lets go within the wait is shown by the run-folder scenario;
// one that outlasts it leaves the folder to the next restart.
TEST(RunFolder, LeavesWhatIsStillHeldAfterTheWaitToTheNextRestart) {
  const Scratch parent(L"run-folder-holder-test");
  auto run = RunFolder::Make(parent.path);
  ASSERT_TRUE(run) << run.error().systemError;
  const std::wstring file = run->path() + L"qmx1.tmp.exe";
  WriteSomething(file);
  // Held without delete sharing, as a scanner that opens the file to read it.
  UniqueFile holder(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(holder) << GetLastError();
  const auto removed = run->RemoveAll(300);
  holder.reset();
  ASSERT_TRUE(removed) << removed.error().systemError;
  EXPECT_TRUE(removed->scheduledForRestart);
  EXPECT_EQ(removed->holderError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_GE(removed->waitedMs, 200u);
  EXPECT_TRUE(FileExists(run->path()));
  DeleteFileW(file.c_str());
  RemoveDirectoryW(run->path().c_str());
}

TEST(IsHeldByAnother, OnlyTheErrorsOfAHolderAreWaitedFor) {
  // 32: opened without delete sharing; 145: an entry deleted while held; 5: a running program's file.
  for (const DWORD error : {ERROR_SHARING_VIOLATION, ERROR_DIR_NOT_EMPTY, ERROR_ACCESS_DENIED}) {
    EXPECT_TRUE(IsHeldByAnother(error)) << error;
  }
  for (const DWORD error : {ERROR_FILE_NOT_FOUND, ERROR_INVALID_PARAMETER, ERROR_WRITE_PROTECT}) {
    EXPECT_FALSE(IsHeldByAnother(error)) << error;
  }
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

namespace {

// The facts of a descriptor in its string form, as a folder would report them.
FolderFacts FromSddl(const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
      << GetLastError();
  const UniqueSecurityDescriptor held(descriptor);
  return descriptor != nullptr ? DescriptorFacts(descriptor) : Facts(FILE_ALL_ACCESS, false);
}

#define TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
// The descriptors of a stock Windows 10 and 11 installation, as
// (Get-Acl PATH).Sddl reports them (owner and DACL).
const std::wstring kRoot =
    L"O:" TRUSTED_INSTALLER L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)"
    L"(A;;LC;;;AU)";
const std::wstring kWindows =
    L"O:" TRUSTED_INSTALLER L"D:PAI(A;OICIIO;GA;;;CO)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;BA)"
    L"(A;;0x1301bf;;;BA)(A;OICIIO;GXGR;;;BU)(A;;0x1200a9;;;BU)(A;CIIO;GA;;"
    L";" TRUSTED_INSTALLER L")(A;;FA;;"
    L";" TRUSTED_INSTALLER L")(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)"
    L"(A;OICIIO;GXGR;;;S-1-15-2-2)";
const std::wstring kTempDacl =
    L"D:P(A;OICIIO;FA;;;CO)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CI;0x100026;;;BU)(A;CI;FA;;;" TRUSTED_INSTALLER L")";
const std::wstring kTemp = L"O:SY" + kTempDacl;
const std::wstring kProgramFiles =
    L"O:" TRUSTED_INSTALLER L"D:PAI(A;;FA;;;" TRUSTED_INSTALLER L")(A;CIIO;GA;;"
    L";" TRUSTED_INSTALLER L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
    L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)"
    L"(A;;0x1200a9;;;S-1-15-2-2)(A;OICIIO;GXGR;;;S-1-15-2-2)";
// The stub's own folders as it makes them.
const std::wstring kCopyFolder = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
const std::wstring kRunFolder = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

}  // namespace

TEST(ChainIsProtected, JudgesTheDescriptorsWindowsReports) {
  const struct {
    const char* what;
    std::vector<std::wstring> chain;
    bool protectedChain;
  } cases[] = {
      {"stock C:\\Windows\\Temp", {kRoot, kWindows, kTemp, kRunFolder}, true},
      {"stock, the stub's folder in Program Files", {kRoot, kProgramFiles, kCopyFolder, kRunFolder}, true},
      {"Everyone full control of C:\\Windows\\Temp", {kRoot, kWindows, kTemp + L"(A;OICI;FA;;;WD)", kRunFolder}, false},
      {"Authenticated Users may modify C:\\Windows\\Temp",
       {kRoot, kWindows, kTemp + L"(A;OICI;0x1301bf;;;AU)", kRunFolder},
       false},
      {"C:\\Windows\\Temp owned by a user",
       {kRoot, kWindows, L"O:S-1-5-21-1004336348-1177238915-682003330-1001" + kTempDacl, kRunFolder},
       false},
      // Modify holds no right to delete C:\\Windows, which inherits nothing.
      {"Authenticated Users may modify C:\\", {kRoot + L"(A;OICI;0x1301bf;;;AU)", kWindows, kTemp, kRunFolder}, true},
      {"Everyone may delete what is in C:\\", {kRoot + L"(A;;0x40;;;WD)", kWindows, kTemp, kRunFolder}, false},
      {"no DACL on C:\\Windows\\Temp", {kRoot, kWindows, L"O:SY", kRunFolder}, false},
      {"a run folder whose owner the token chose: the user",
       {kRoot, kWindows, kTemp, L"O:S-1-5-21-1004336348-1177238915-682003330-1001D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"},
       false},
  };
  for (const auto& c : cases) {
    std::vector<FolderFacts> chain;
    for (const std::wstring& sddl : c.chain) chain.push_back(FromSddl(sddl));
    EXPECT_EQ(ChainIsProtected(chain), c.protectedChain) << c.what;
  }
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
