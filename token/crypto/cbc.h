#pragma once
// Cipher block chaining over 64-bit block functions, in place, no padding.
// The chaining value is read at the start and written back at the end, so a
// message handed over in several parts chains as if it came in one.
#include <cstddef>
#include <cstdint>

#include "token/crypto/bytes.h"

namespace zyp::softtok {

// `encipher` maps a block, taken as a big-endian 64-bit number, to its
// ciphertext. `size` must be a multiple of 8.
template <class Encipher>
void cbc_encrypt_blocks(const Encipher& encipher, uint8_t* data, size_t size, uint8_t* chain) {
  uint64_t c = load_be64(chain);
  for (size_t i = 0; i < size; i += 8) {
    c = encipher(load_be64(data + i) ^ c);
    store_be64(data + i, c);
  }
  store_be64(chain, c);
}

template <class Decipher>
void cbc_decrypt_blocks(const Decipher& decipher, uint8_t* data, size_t size, uint8_t* chain) {
  uint64_t c = load_be64(chain);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t saved = load_be64(data + i);
    store_be64(data + i, decipher(saved) ^ c);
    c = saved;
  }
  store_be64(chain, c);
}

}  // namespace zyp::softtok
