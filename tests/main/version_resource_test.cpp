#include "main/version_resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A real version resource, as a system DLL carries it.
std::vector<unsigned char> SystemVersionResource(std::string& expected) {
  const HMODULE module = LoadLibraryExW(L"kernel32.dll", nullptr, LOAD_LIBRARY_AS_DATAFILE);
  const HRSRC found = module != nullptr ? FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION)
                                        : nullptr;
  if (found == nullptr) return {};
  const auto* data = static_cast<const unsigned char*>(LockResource(LoadResource(module, found)));
  std::vector<unsigned char> bytes(data, data + SizeofResource(module, found));
  // What the system's own version functions read from it.
  std::vector<unsigned char> copy(bytes);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT size = 0;
  if (VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&info), &size) && info != nullptr) {
    expected = std::to_string(HIWORD(info->dwFileVersionMS)) + "." + std::to_string(LOWORD(info->dwFileVersionMS)) +
               "." + std::to_string(HIWORD(info->dwFileVersionLS)) + "." +
               std::to_string(LOWORD(info->dwFileVersionLS));
  }
  return bytes;
}

}  // namespace

TEST(FileVersionOf, ReadsWhatTheSystemReadsAndNothingFromDamagedData) {
  std::string expected;
  const std::vector<unsigned char> real = SystemVersionResource(expected);
  ASSERT_FALSE(real.empty());
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(FileVersionOf(real.data(), real.size()), expected);

  const auto damaged = [&](size_t at, unsigned char value) {
    std::vector<unsigned char> bytes(real);
    bytes[at] = value;
    return FileVersionOf(bytes.data(), bytes.size());
  };
  EXPECT_EQ(damaged(6, 'W'), std::nullopt) << "another key";
  EXPECT_EQ(damaged(40, 0), std::nullopt) << "no fixed information's signature";
  EXPECT_EQ(damaged(1, 0xFF), std::nullopt) << "a block longer than the data";
  EXPECT_EQ(FileVersionOf(real.data(), 91), std::nullopt) << "cut short";
}
