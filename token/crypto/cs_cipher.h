#pragma once
// CS-Cipher (Stern and Vaudenay, 1998): a 64-bit block cipher with a key of up
// to 128 bits, eight rounds and nine 64-bit subkeys, run here in cipher block
// chaining like DES.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zyp::softtok {

inline constexpr size_t kCsBlockSize = 8;
inline constexpr size_t kCsMaxKeySize = 16;

enum class CsKeyResult {
  ok,
  key_too_long,      // more than 16 key bytes (more than 32 digits of key text)
  odd_digit_count,   // key text with an odd number of digits
  bad_digit,         // key text with a pair that is not two hexadecimal digits
};

class CsCipherKey {
 public:
  // Before a successful set_*, the key is that of 16 zero bytes.
  CsCipherKey();
  CsCipherKey(const CsCipherKey&) = default;
  CsCipherKey& operator=(const CsCipherKey&) = default;
  ~CsCipherKey();

  // The key value's raw bytes, zero-padded to 16 bytes.
  CsKeyResult set_key_bytes(std::span<const uint8_t> key);
  // The key as text: an even number of hexadecimal digits (either case), at
  // most 32, each pair one key byte. A refused text leaves the key unchanged.
  CsKeyResult set_key_text(std::string_view text);

  void encrypt_block(std::span<uint8_t, kCsBlockSize> block) const;
  void decrypt_block(std::span<uint8_t, kCsBlockSize> block) const;

  // Cipher block chaining in place with a chaining value that carries over
  // between calls, as DesKey::cbc_encrypt. A size that is not a multiple of 8
  // is refused (false) and nothing changes.
  bool cbc_encrypt(std::span<uint8_t> data, std::span<uint8_t, kCsBlockSize> chain) const;
  bool cbc_decrypt(std::span<uint8_t> data, std::span<uint8_t, kCsBlockSize> chain) const;

  // Subkeys k0..k8 as big-endian numbers (byte 0 most significant).
  using Subkeys = std::array<uint64_t, 9>;
  const Subkeys& subkeys() const { return subkeys_; }

 private:
  void schedule(const std::array<uint8_t, kCsMaxKeySize>& key);

  Subkeys subkeys_;
};

}  // namespace zyp::softtok
