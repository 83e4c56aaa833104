#pragma once
// ObjectSum: the checksum behind the key store's object section names.
#include <cstdint>
#include <span>

namespace zyp::softtok {

// The sum, modulo 2^32, over the bytes b taken as signed 8-bit values of
// b^11 + 1.
uint32_t object_sum(std::span<const uint8_t> bytes);

}  // namespace zyp::softtok
