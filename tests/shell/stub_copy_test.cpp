#include "shell/stub_copy.h"

#include <windows.h>
#include <gtest/gtest.h>

#include <string>

#include "support/scratch_folder.h"

using scratch_folder::Scratch;
using scratch_folder::WriteSomething;

TEST(EnsureStubCopyFolder, MakesTheFolderButTakesNoneMadeByAnotherProgram) {
  const Scratch parent(L"copy-folder-test");
  const std::wstring copies = parent.path + L"copies\\";
  const auto made = EnsureStubCopyFolder(copies);
  ASSERT_TRUE(made) << made.error().systemError;
  EXPECT_EQ(*made, copies);
  // Made with this process's rights, not the administrators': Wine reads the
  // folder back as the user's, as Windows would a folder a user's program made.
  const auto existing = EnsureStubCopyFolder(copies);
  ASSERT_FALSE(existing);
  EXPECT_EQ(existing.error().systemError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
  WriteSomething(parent.path + L"a file");
  const auto file = EnsureStubCopyFolder(parent.path + L"a file");
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error().systemError, static_cast<uint32_t>(ERROR_DIRECTORY));
}
