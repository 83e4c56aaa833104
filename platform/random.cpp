#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>

namespace zyp::platform {

bool random_bytes(void* out, size_t size) {
  auto* bytes = static_cast<uint8_t*>(out);
  while (size > 0) {
    ssize_t got = ::getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace zyp::platform
