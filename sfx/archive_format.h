#pragma once
// The layout of a self-extracting archive, shared by the generator (libzypsfx),
// the extractor stub (zypsfx16) and `zyp sfx extract`.
//
//   stub program              a byte copy of zypsfx16
//   start marker              kStartMarker, 37 bytes, no terminator
//   key bits                  4: 40, 56, 112 or 168
//   address length, address   4 + 1025: zero-terminated, zero-padded
//   notice length, notice     4 + 1025: zero-terminated, zero-padded
//   encrypted region (from offset P to the end of the file):
//     clear marker            kClearMarker with its terminator, 35 bytes
//     recovery field          128
//     file count              4
//     entries                 name (zero-terminated), size (4), block count
//                             (4), then per block: flag (4: 1 zlib, 0 stored),
//                             length (4) and that many bytes
//     padding                 0 to 7 zero bytes: the region is whole DES blocks
// All integers are little-endian 32-bit. Blocks hold 32768 bytes of the
// file, the last one the rest; an empty file has size 0 and no blocks.
// The region is DES or triple DES in CBC under a key derived from the password.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "token/crypto/seal_key.h"

namespace zyp::sfx {

inline constexpr std::string_view kStartMarker = "Self decrypting file - Data beginning";
static_assert(kStartMarker.size() == 37);
// Stored with its terminating zero.
inline constexpr std::string_view kClearMarker{"Self decrypting file - Clear value", 35};
static_assert(kClearMarker.size() == 35 && kClearMarker.back() == '\0');

inline constexpr uint32_t kTextFieldSize = 1025;
inline constexpr size_t kClearPartSize = kStartMarker.size() + 4 + 4 + kTextFieldSize + 4 + kTextFieldSize;
static_assert(kClearPartSize == 2099);
inline constexpr size_t kRecoveryFieldSize = 128;
inline constexpr size_t kRegionHeaderSize = kClearMarker.size() + kRecoveryFieldSize + 4;
inline constexpr uint32_t kBlockSize = 32768;
inline constexpr uint32_t kFlagStored = 0;
inline constexpr uint32_t kFlagCompressed = 1;
inline constexpr size_t kCipherBlock = 8;
// The password dialog takes at most this many characters.
inline constexpr size_t kMaxPasswordLength = 100;

inline uint32_t block_count_for(uint32_t size) { return size / kBlockSize + (size % kBlockSize != 0); }

inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint32_t get_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// 40, 56, 112 and 168 are the only key sizes an archive can have.
bool valid_key_bits(uint32_t bits);

// The key sizes an algorithm's display name stands for: "40", "56", "112"
// and "168" are looked for in that order and the last one found wins; 0 when
// the name holds none of them.
uint32_t key_bits_from_name(std::string_view name);

// The archive key: 24 (168 bits), 16 (112) or 8 key bytes (56, 40: with the
// low three bits of every byte cleared) and the initial vector, made the way
// the token makes its store sealing key. Wiped when it goes.
using ArchiveKey = softtok::StoreSealKey;

// Derives the key from the password (its bytes up to the first zero byte).
// False for key bits other than the four sizes.
bool derive_archive_key(std::string_view password, uint32_t key_bits, ArchiveKey& key);

// Encrypts or decrypts the region in place. False, with nothing changed, when
// its length is not a multiple of 8 or the key is not set.
bool encrypt_region(const ArchiveKey& key, std::span<uint8_t> region);
bool decrypt_region(const ArchiveKey& key, std::span<uint8_t> region);

}  // namespace zyp::sfx
