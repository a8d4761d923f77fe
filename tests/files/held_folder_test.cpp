#include "files/held_folder.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "files/paths.h"
#include "support/scratch_folder.h"

using scratch_folder::Scratch;
using scratch_folder::WriteSomething;

TEST(HeldFolder, TakesOnlyAPlainChildWithOneLink) {
  const Scratch parent(L"held-folder-test");
  WriteSomething(parent.path + L"plain.lnk");
  CreateDirectoryW((parent.path + L"folder.lnk").c_str(), nullptr);
  WriteSomething(parent.path + L"linked.log");
  ASSERT_TRUE(CreateHardLinkW((parent.path + L"second name").c_str(), (parent.path + L"linked.log").c_str(), nullptr));
  const auto held = HeldFolder::Open(parent.path);
  ASSERT_TRUE(held) << held.error().systemError;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const auto open = [&](const wchar_t* name, ChildKind kind, ChildOpening opening) {
    const auto child = held->OpenChild(name, kind, opening, DELETE, kShare);
    return child ? DWORD{0} : child.error().systemError;
  };
  EXPECT_EQ(open(L"linked.log", ChildKind::kFile, ChildOpening::kExistingOnly), kMoreThanOneLink);
  EXPECT_NE(open(L"folder.lnk", ChildKind::kFile, ChildOpening::kExistingOnly), 0u) << "a folder is no link file";
  EXPECT_EQ(open(L"plain.lnk", ChildKind::kFile, ChildOpening::kNewOnly), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(open(L"missing.lnk", ChildKind::kFile, ChildOpening::kExistingOnly),
            static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(open(L"..\\escape.lnk", ChildKind::kFile, ChildOpening::kNewOnly), static_cast<DWORD>(ERROR_INVALID_NAME));

  auto plain = held->OpenChild(L"PLAIN.LNK", ChildKind::kFile, ChildOpening::kExistingOnly, DELETE, kShare);
  ASSERT_TRUE(plain) << "names are found in any letter case: " << plain.error().systemError;
  ASSERT_TRUE(DeleteThroughHandle(plain->get()));
  plain->reset();
  EXPECT_FALSE(FileExists(parent.path + L"plain.lnk"));
  DeleteFileW((parent.path + L"second name").c_str());
  DeleteFileW((parent.path + L"linked.log").c_str());
}

TEST(IsNameSurrogate, RefusesOnlyReparsePointsThatNameAnotherPlace) {
  constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_ARCHIVE;
  // Tags as the system reports them for files on a desktop.
  const struct {
    const char* what;
    DWORD attributes;
    DWORD tag;
    bool surrogate;
  } cases[] = {
      {"a symbolic link", kReparse, 0xA000000C, true},
      {"a junction", kReparse | FILE_ATTRIBUTE_DIRECTORY, 0xA0000003, true},
      {"a OneDrive placeholder (cloud files)", kReparse | 0x400000 /* recall on data access */, 0x9000001A, false},
      {"an app execution alias", kReparse, 0x8000001B, false},
      {"a plain file", FILE_ATTRIBUTE_ARCHIVE, 0, false},
      {"no reparse point, whatever the tag", FILE_ATTRIBUTE_ARCHIVE, 0xA000000C, false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNameSurrogate(c.attributes, c.tag), c.surrogate) << c.what;
}

// Wine 8 refuses the immediate (POSIX) deletion with 87, so every deletion
// there (above) takes the older way.
TEST(PosixDeleteUnsupported, FallsBackOnlyWhereTheSystemLacksIt) {
  for (const DWORD error : {ERROR_INVALID_PARAMETER, ERROR_INVALID_FUNCTION, ERROR_NOT_SUPPORTED}) {
    EXPECT_TRUE(PosixDeleteUnsupported(error)) << error;
  }
  // A running program's file or a holder refuse the older way alike.
  for (const DWORD error : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DIR_NOT_EMPTY}) {
    EXPECT_FALSE(PosixDeleteUnsupported(error)) << error;
  }
}
