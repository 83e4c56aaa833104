#include "token/crypto/object_sum.h"

namespace zyp::softtok {

// Unsigned arithmetic wraps exactly as the signed 32-bit arithmetic of the
// definition would, without its overflow being undefined.
uint32_t object_sum(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t byte : bytes) {
    uint32_t b = static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
    uint32_t b2 = b * b;
    uint32_t b4 = b2 * b2;
    uint32_t b8 = b4 * b4;
    sum += b8 * b2 * b + 1;
  }
  return sum;
}

}  // namespace zyp::softtok
