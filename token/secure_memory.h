#pragma once
// Containers for PINs, key values and the key store's plain text: their
// memory is wiped before it goes back to the heap, whichever way it is freed
// (destruction, reallocation while growing).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "token/crypto/bytes.h"

namespace zyp::softtok {

template <class T>
struct WipingAllocator {
  using value_type = T;

  WipingAllocator() = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}

  T* allocate(size_t count) { return std::allocator<T>{}.allocate(count); }
  void deallocate(T* p, size_t count) noexcept {
    wipe(p, count * sizeof(T));
    std::allocator<T>{}.deallocate(p, count);
  }

  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept {
    return true;
  }
};

// Vectors have no small-buffer storage, so every byte they ever held lives
// in memory that the allocator wipes.
using SecureBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

inline SecureBytes to_secure(const void* data, size_t size) {
  auto bytes = static_cast<const uint8_t*>(data);
  return SecureBytes(bytes, bytes + size);
}

inline std::string_view as_text(const SecureBytes& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Clears the characters of an ordinary string that held a secret before it
// goes away (its small-string storage included).
inline void wipe_string(std::string& text) {
  wipe(text.data(), text.size());
  text.clear();
}

}  // namespace zyp::softtok
