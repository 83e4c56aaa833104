#pragma once
// Building archive regions and whole archives byte by byte, for tests that
// need a damaged or hostile archive the generator would never write.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sfx/archive_format.h"

namespace zyp::sfx::testing {

using Bytes = std::vector<uint8_t>;

inline Bytes read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), {});
}

inline void write_bytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline Bytes random_bytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

inline void append_word(Bytes& bytes, uint32_t value) {
  uint8_t le[4];
  put_le32(le, value);
  bytes.insert(bytes.end(), le, le + 4);
}

inline void append_text(Bytes& bytes, std::string_view text) { bytes.insert(bytes.end(), text.begin(), text.end()); }

// A region in clear: the clear marker, a zero recovery field and `count`.
inline Bytes region_start(uint32_t count) {
  Bytes region;
  append_text(region, kClearMarker);
  region.resize(region.size() + kRecoveryFieldSize, 0);
  append_word(region, count);
  return region;
}

// An entry whose blocks are stored as they are.
inline void append_stored_entry(Bytes& region, std::string_view name, const Bytes& contents) {
  append_text(region, name);
  region.push_back(0);
  append_word(region, static_cast<uint32_t>(contents.size()));
  append_word(region, block_count_for(static_cast<uint32_t>(contents.size())));
  for (size_t at = 0; at < contents.size(); at += kBlockSize) {
    size_t size = std::min<size_t>(kBlockSize, contents.size() - at);
    append_word(region, kFlagStored);
    append_word(region, static_cast<uint32_t>(size));
    region.insert(region.end(), contents.begin() + static_cast<long>(at), contents.begin() + static_cast<long>(at + size));
  }
}

inline void pad_region(Bytes& region) {
  while (region.size() % kCipherBlock != 0) region.push_back(0);
}

// The clear part for `key_bits` with empty address and notice texts.
inline Bytes clear_part(uint32_t key_bits) {
  Bytes clear;
  append_text(clear, kStartMarker);
  append_word(clear, key_bits);
  for (int field = 0; field < 2; ++field) {
    append_word(clear, kTextFieldSize);
    clear.resize(clear.size() + kTextFieldSize, 0);
  }
  return clear;
}

// `program`, the clear part and the region padded and encrypted under the password.
inline Bytes sealed_archive(const Bytes& program, Bytes region, std::string_view password, uint32_t key_bits) {
  pad_region(region);
  ArchiveKey key;
  derive_archive_key(password, key_bits, key);
  encrypt_region(key, region);
  Bytes archive = program;
  Bytes clear = clear_part(key_bits);
  archive.insert(archive.end(), clear.begin(), clear.end());
  archive.insert(archive.end(), region.begin(), region.end());
  return archive;
}

}  // namespace zyp::sfx::testing
