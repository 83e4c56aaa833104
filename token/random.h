#pragma once
// Random bytes from the operating system's generator, for key values and
// C_GenerateRandom.
#include <cstddef>
#include <cstdint>

namespace zyp::softtok {

bool random_bytes(uint8_t* out, size_t size);

}  // namespace zyp::softtok
