#pragma once
// DES (FIPS 46-3) and triple DES with cipher block chaining, in the usual
// table-driven form: combined S-box and permutation tables and a table-driven
// key schedule, all computed at compile time.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace zyp::softtok {

inline constexpr size_t kDesBlockSize = 8;

// The key schedules of one DES, two-key or three-key triple DES key. Build it
// once per operation; it is immutable afterwards and wiped when destroyed.
class DesKey {
 public:
  // 8 bytes: DES. 16 bytes: two-key triple DES, E(K1) D(K2) E(K1).
  // 24 bytes: three-key triple DES, E(K1) D(K2) E(K3). Parity bits are
  // ignored and weak keys accepted. Any other size gives nothing.
  static std::optional<DesKey> from_bytes(std::span<const uint8_t> key);

  DesKey(const DesKey&) = default;
  DesKey& operator=(const DesKey&) = default;
  ~DesKey();

  void encrypt_block(std::span<uint8_t, kDesBlockSize> block) const;
  void decrypt_block(std::span<uint8_t, kDesBlockSize> block) const;

  // Cipher block chaining in place. `chain` is the chaining value: the
  // initialisation vector on the first call, and on return the value the next
  // part of the same message continues from. A size that is not a multiple
  // of 8 is refused (false) and nothing changes.
  bool cbc_encrypt(std::span<uint8_t> data, std::span<uint8_t, kDesBlockSize> chain) const;
  bool cbc_decrypt(std::span<uint8_t> data, std::span<uint8_t, kDesBlockSize> chain) const;

  using Schedule = std::array<uint32_t, 32>;

 private:
  DesKey() = default;

  std::array<Schedule, 3> schedules_{};
  bool triple_ = false;
};

// A 40-bit DES key made from its 40 bits (five bytes, most significant bit
// first): each consecutive 5-bit group becomes the top five bits of one of
// the eight key bytes, whose low three bits are zero.
std::array<uint8_t, 8> spread_des40_key(std::span<const uint8_t, 5> bits);

// A 40-bit DES key made from eight bytes by clearing their low three bits.
std::array<uint8_t, 8> mask_des40_key(std::span<const uint8_t, 8> key);

}  // namespace zyp::softtok
