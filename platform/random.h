#pragma once
// Random bytes from the operating system's generator (getrandom), for key
// values, random data and the patterns of secure erase.
#include <cstddef>

namespace zyp::platform {

// Fills `out` with `size` random bytes; false only when the kernel has no
// generator to offer.
bool random_bytes(void* out, size_t size);

}  // namespace zyp::platform
