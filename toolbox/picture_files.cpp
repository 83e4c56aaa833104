#include "toolbox/picture_files.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>

namespace zyp::tools {
namespace {

constexpr size_t kHeaderBytes = 30;  // BITMAPFILEHEADER and the first fields of the info header
constexpr size_t kBitmapFileHeader = 14;
constexpr uint32_t kSmallestInfoHeader = 12;  // the OS/2 core header

struct Head {
  unsigned char bytes[kHeaderBytes] = {};
  size_t size = 0;   // bytes read
  uint64_t file_size = 0;
};

bool read_head(const std::string& path, Head& head) {
  struct stat about {};
  if (path.empty() || ::stat(path.c_str(), &about) != 0 || !S_ISREG(about.st_mode)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  in.read(reinterpret_cast<char*>(head.bytes), sizeof head.bytes);
  head.size = static_cast<size_t>(in.gcount());
  head.file_size = static_cast<uint64_t>(about.st_size);
  return true;
}

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool starts_with(const Head& head, const void* magic, size_t length) {
  return head.size >= length && std::memcmp(head.bytes, magic, length) == 0;
}

bool is_bitmap(const Head& head) {
  if (head.size < kHeaderBytes || !starts_with(head, "BM", 2)) return false;
  uint32_t bits_offset = le32(head.bytes + 10);
  uint32_t info_size = le32(head.bytes + 14);
  if (info_size < kSmallestInfoHeader || bits_offset < kBitmapFileHeader + info_size) return false;
  if (bits_offset >= head.file_size) return false;
  // The core header has 16-bit fields; the others 32-bit ones.
  uint16_t bits_per_pixel = info_size == kSmallestInfoHeader ? le16(head.bytes + 24) : le16(head.bytes + 28);
  switch (bits_per_pixel) {
    case 1: case 4: case 8: case 16: case 24: case 32: return true;
    default: return false;
  }
}

}  // namespace

bool is_picture_file(const std::string& path) {
  static const unsigned char kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  static const unsigned char kIco[] = {0, 0, 1, 0};
  Head head;
  if (!read_head(path, head)) return false;
  return is_bitmap(head) || starts_with(head, kPng, sizeof kPng) || starts_with(head, kIco, sizeof kIco);
}

std::string module_picture(const ZYPResourceModule* module, uint32_t id, platform::PictureResource::Kind kind) {
  const platform::LanguageModule* resources = platform::language_module_of(module);
  const platform::PictureResource* picture = resources ? resources->picture(id) : nullptr;
  if (!picture || picture->kind != kind) return {};
  std::string path = resources->picture_path(id);
  return is_picture_file(path) ? path : std::string();
}

bool is_clip_file(const std::string& path) {
  Head head;
  return read_head(path, head) && starts_with(head, "RIFF", 4) && head.size >= 12 &&
         std::memcmp(head.bytes + 8, "AVI ", 4) == 0;
}

}  // namespace zyp::tools
