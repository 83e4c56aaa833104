#pragma once
// The folder archive's entry header: 272 bytes, little-endian, packed.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zyp::tools {

inline constexpr uint32_t kArchiveMagic = 0x4EBC6327u;
inline constexpr size_t kArchivePathField = 260;  // including the terminating NUL
inline constexpr uint16_t kArchiveFolderFlag = 0x0001;

#pragma pack(push, 1)
struct ArchiveEntryHeader {
  uint8_t magic[4];
  char path[kArchivePathField];  // '\' between components, NUL-terminated, zero-filled
  uint8_t flags[2];
  uint8_t reserved[2];
  uint8_t size[4];
};
#pragma pack(pop)

static_assert(sizeof(ArchiveEntryHeader) == 272);
static_assert(offsetof(ArchiveEntryHeader, magic) == 0);
static_assert(offsetof(ArchiveEntryHeader, path) == 4);
static_assert(offsetof(ArchiveEntryHeader, flags) == 264);
static_assert(offsetof(ArchiveEntryHeader, reserved) == 266);
static_assert(offsetof(ArchiveEntryHeader, size) == 268);

inline void put_le16(uint8_t* out, uint16_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

inline void put_le32(uint8_t* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t get_le16(const uint8_t* in) { return static_cast<uint16_t>(in[0] | in[1] << 8); }

inline uint32_t get_le32(const uint8_t* in) {
  return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

// The relative path of a header: the text before the first NUL, or nothing
// when the field holds no NUL (such a header is refused).
inline bool header_path(const ArchiveEntryHeader& header, std::string_view& path) {
  std::string_view field(header.path, kArchivePathField);
  size_t end = field.find('\0');
  if (end == std::string_view::npos) return false;
  path = field.substr(0, end);
  return true;
}

}  // namespace zyp::tools
