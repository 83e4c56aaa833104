#pragma once
// StoreSealKey: the key and initialisation vector that seal the key store,
// derived from the PIN at one of four strengths.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace zyp::softtok {

// Number of key bits; the sealing cipher follows from it: 168 three-key
// triple DES, 112 two-key triple DES, 56 DES, 40 DES with a 40-bit key.
enum class SealStrength : int { bits168 = 168, bits112 = 112, bits56 = 56, bits40 = 40 };

struct StoreSealKey {
  StoreSealKey() = default;
  StoreSealKey(const StoreSealKey&) = default;
  StoreSealKey& operator=(const StoreSealKey&) = default;
  ~StoreSealKey();

  std::span<const uint8_t> key() const { return {key_bytes.data(), key_size}; }

  std::array<uint8_t, 24> key_bytes{};
  size_t key_size = 0;  // 24, 16 or 8
  std::array<uint8_t, 8> iv{};
};

// Derives the sealing key from the PIN (its bytes up to the first zero byte,
// if any). The same PIN and strength always give the same key and every
// strength shares the initialisation vector. Nothing for an unknown strength.
std::optional<StoreSealKey> derive_store_seal_key(std::string_view pin, SealStrength strength);

// The same derivation with another text after the secret in the first hash:
// the self-extracting archives derive their key from the password this way.
std::optional<StoreSealKey> derive_key_from_secret(std::string_view secret, std::string_view suffix,
                                                   SealStrength strength);

}  // namespace zyp::softtok
