#include "pe_version.h"

#include <cstdint>
#include <vector>

namespace {

constexpr uint32_t kVersionResourceType = 16;  // RT_VERSION

class Bytes {
 public:
  explicit Bytes(const std::string& data) : data_(data) {}
  bool Has(size_t offset, size_t count) const { return offset <= data_.size() && count <= data_.size() - offset; }
  uint16_t U16(size_t offset) const { return static_cast<uint16_t>(Byte(offset) | Byte(offset + 1) << 8); }
  uint32_t U32(size_t offset) const { return U16(offset) | static_cast<uint32_t>(U16(offset + 2)) << 16; }

 private:
  unsigned Byte(size_t offset) const { return static_cast<unsigned char>(data_[offset]); }
  const std::string& data_;
};

struct Section {
  uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
};

std::optional<size_t> FileOffset(const std::vector<Section>& sections, uint32_t rva) {
  for (const Section& s : sections) {
    const uint32_t size = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
    if (rva >= s.virtualAddress && rva - s.virtualAddress < size && rva - s.virtualAddress < s.rawSize) {
      return size_t{s.rawOffset} + (rva - s.virtualAddress);
    }
  }
  return std::nullopt;
}

// One block of the version resource: length, value length, type, key, value,
// children, each part aligned to four bytes from the resource's start.
struct Block {
  size_t start = 0, end = 0, value = 0, valueBytes = 0, children = 0;
  std::u16string key;
};

size_t Align4(size_t base, size_t offset) { return base + ((offset - base + 3) & ~size_t{3}); }

std::optional<Block> ReadBlock(const Bytes& bytes, size_t base, size_t offset, size_t limit) {
  if (!bytes.Has(offset, 6)) return std::nullopt;
  Block block;
  block.start = offset;
  const size_t length = bytes.U16(offset);
  if (length < 6 || offset + length > limit) return std::nullopt;
  block.end = offset + length;
  const size_t valueLength = bytes.U16(offset + 2);
  const bool text = bytes.U16(offset + 4) == 1;
  size_t at = offset + 6;
  while (at + 2 <= block.end && bytes.U16(at) != 0) {
    block.key += static_cast<char16_t>(bytes.U16(at));
    at += 2;
  }
  block.value = Align4(base, at + 2);
  block.valueBytes = text ? valueLength * 2 : valueLength;
  if (block.value > block.end || block.valueBytes > block.end - block.value) block.valueBytes = 0;
  block.children = Align4(base, block.value + block.valueBytes);
  return block;
}

std::vector<Block> Children(const Bytes& bytes, size_t base, const Block& parent) {
  std::vector<Block> children;
  size_t at = parent.children;
  while (at < parent.end) {
    const auto child = ReadBlock(bytes, base, at, parent.end);
    if (!child) break;
    children.push_back(*child);
    at = Align4(base, child->end);
  }
  return children;
}

std::wstring TextValue(const Bytes& bytes, const Block& block) {
  std::wstring text;
  for (size_t at = block.value; at + 2 <= block.value + block.valueBytes; at += 2) {
    const uint16_t c = bytes.U16(at);
    if (c == 0) break;
    text += static_cast<wchar_t>(c);  // the versions of installers are in the BMP
  }
  return text;
}

// The first entry of a resource directory (by type, name or language):
// returns the offset of what it points to and whether that is a directory.
std::optional<std::pair<uint32_t, bool>> Entry(const Bytes& bytes, size_t directory, std::optional<uint32_t> wantedId) {
  if (!bytes.Has(directory, 16)) return std::nullopt;
  const size_t count = size_t{bytes.U16(directory + 12)} + bytes.U16(directory + 14);
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = directory + 16 + i * 8;
    if (!bytes.Has(entry, 8)) return std::nullopt;
    const uint32_t name = bytes.U32(entry);
    if (wantedId && ((name & 0x80000000u) != 0 || name != *wantedId)) continue;
    const uint32_t target = bytes.U32(entry + 4);
    return std::make_pair(target & 0x7FFFFFFFu, (target & 0x80000000u) != 0);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::wstring> ReadProductVersion(const std::string& fileBytes) {
  const Bytes bytes(fileBytes);
  if (!bytes.Has(0, 64) || bytes.U16(0) != 0x5A4D) return std::nullopt;  // "MZ"
  const size_t pe = bytes.U32(0x3C);
  if (!bytes.Has(pe, 24) || bytes.U32(pe) != 0x00004550) return std::nullopt;  // "PE\0\0"
  const size_t sectionCount = bytes.U16(pe + 6);
  const size_t optionalSize = bytes.U16(pe + 20);
  const size_t optional = pe + 24;
  if (!bytes.Has(optional, 2)) return std::nullopt;
  const uint16_t magic = bytes.U16(optional);
  const size_t directories = optional + (magic == 0x20B ? 112 : 96);
  if (!bytes.Has(directories, 8 * 3)) return std::nullopt;
  const uint32_t resourceRva = bytes.U32(directories + 2 * 8);  // entry 2: resources
  if (resourceRva == 0) return std::nullopt;
  std::vector<Section> sections;
  for (size_t i = 0; i < sectionCount; ++i) {
    const size_t header = optional + optionalSize + i * 40;
    if (!bytes.Has(header, 40)) return std::nullopt;
    sections.push_back({bytes.U32(header + 12), bytes.U32(header + 8), bytes.U32(header + 20), bytes.U32(header + 16)});
  }
  const auto root = FileOffset(sections, resourceRva);
  if (!root) return std::nullopt;

  // Type RT_VERSION, then the first name, then the first language.
  auto entry = Entry(bytes, *root, kVersionResourceType);
  for (int level = 0; level < 2 && entry && entry->second; ++level) {
    entry = Entry(bytes, *root + entry->first, std::nullopt);
  }
  if (!entry || entry->second || !bytes.Has(*root + entry->first, 16)) return std::nullopt;
  const size_t dataEntry = *root + entry->first;
  const auto data = FileOffset(sections, bytes.U32(dataEntry));
  const size_t size = bytes.U32(dataEntry + 4);
  if (!data || !bytes.Has(*data, size)) return std::nullopt;

  const auto info = ReadBlock(bytes, *data, *data, *data + size);
  if (!info || info->key != u"VS_VERSION_INFO") return std::nullopt;
  for (const Block& child : Children(bytes, *data, *info)) {
    if (child.key != u"StringFileInfo") continue;
    for (const Block& table : Children(bytes, *data, child)) {
      for (const Block& string : Children(bytes, *data, table)) {
        if (string.key == u"ProductVersion") {
          const std::wstring text = TextValue(bytes, string);
          if (!text.empty()) return text;
        }
      }
    }
  }
  // VS_FIXEDFILEINFO: its signature, then the product version at 16 and 20.
  if (info->valueBytes >= 52 && bytes.U32(info->value) == 0xFEEF04BDu) {
    const uint32_t high = bytes.U32(info->value + 16), low = bytes.U32(info->value + 20);
    return std::to_wstring(high >> 16) + L"." + std::to_wstring(high & 0xFFFF) + L"." + std::to_wstring(low >> 16) +
           L"." + std::to_wstring(low & 0xFFFF);
  }
  return std::nullopt;
}
