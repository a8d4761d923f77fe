#include "digests.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <ios>
#include <memory>
#include <vector>

#include "files/crc32.h"

namespace {

bool Sha256OfFile(const std::string& path, std::array<uint8_t, 32>& digest, uint64_t& size) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  if (!file) return false;
  const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
  std::vector<char> buffer(1 << 20);
  size = 0;
  while (file) {
    file.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto count = static_cast<size_t>(file.gcount());
    if (count > 0 && EVP_DigestUpdate(context.get(), buffer.data(), count) != 1) return false;
    size += count;
  }
  if (!file.eof()) return false;
  unsigned length = 0;
  return EVP_DigestFinal_ex(context.get(), digest.data(), &length) == 1 && length == digest.size();
}

}  // namespace

std::optional<FileDigests> DigestFile(const std::string& path, std::string& error) {
  FileDigests digests;
  // The stub's reader takes the path's bytes one per wide character here.
  std::wstring bytePath;
  for (const char c : path) bytePath += static_cast<wchar_t>(static_cast<unsigned char>(c));
  try {
    digests.crc32 = ComputeFileCrc32(bytePath.c_str());
  } catch (const std::ios_base::failure& failure) {
    error = std::string(failure.what()) + " " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  if (!Sha256OfFile(path, digests.sha256, digests.size)) {
    error = "Failed to read the file " + path;
    return std::nullopt;
  }
  return digests;
}

std::string HexDigits(const std::array<uint8_t, 32>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}
