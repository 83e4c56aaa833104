#pragma once
// Byte-order helpers and secret wiping shared by the primitives.
#include <string.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zyp::softtok {

inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint64_t load_be64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

inline void store_be64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Clears memory that held key material; unlike memset, the compiler may not
// drop it because the buffer is about to die.
inline void wipe(void* p, size_t size) { explicit_bzero(p, size); }

}  // namespace zyp::softtok
