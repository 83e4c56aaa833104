#include "token/random.h"

#include "platform/random.h"

namespace zyp::softtok {

bool random_bytes(uint8_t* out, size_t size) { return platform::random_bytes(out, size); }

}  // namespace zyp::softtok
