#include "token/crypto/cs_cipher.h"

#include <algorithm>

#include "token/crypto/bytes.h"
#include "token/crypto/cbc.h"

namespace zyp::softtok {
namespace {

constexpr uint8_t rotl8(uint8_t x) { return static_cast<uint8_t>(x << 1 | x >> 7); }
constexpr uint8_t phi(uint8_t x) { return (rotl8(x) & 0x55) ^ x; }
constexpr uint8_t phi_inverse(uint8_t x) { return (rotl8(x) & 0xAA) ^ x; }

constexpr uint8_t f4(uint8_t a) {
  uint8_t rotated = static_cast<uint8_t>(((a << 1) | (a >> 3)) & 0x0F);
  return (a | ~rotated) & 0x0F;
}

constexpr uint8_t kG[16] = {0xa, 0x6, 0x0, 0x2, 0xb, 0xe, 0x1, 0x8, 0xd, 0x4, 0x5, 0x3, 0xf, 0xc, 0x7, 0x9};

// The 8-bit permutation P, an involution built from f and g on the halves.
constexpr std::array<uint8_t, 256> make_p() {
  std::array<uint8_t, 256> p{};
  for (int x = 0; x < 256; ++x) {
    uint8_t t = static_cast<uint8_t>((x >> 4) ^ f4(x & 0x0F));
    uint8_t right = static_cast<uint8_t>((x & 0x0F) ^ kG[t]);
    uint8_t left = static_cast<uint8_t>(t ^ f4(right));
    p[x] = static_cast<uint8_t>(left << 4 | right);
  }
  return p;
}

constexpr std::array<uint8_t, 256> kP = make_p();
static_assert(kP[0x00] == 0x29 && kP[0x01] == 0x0d && kP[0x26] == 0xb8 && kP[0xec] == 0x76);

constexpr uint64_t kC = 0xB7E151628AED2A6A;
constexpr uint64_t kCPrime = 0xBF7158809CF4F3C7;

inline uint8_t byte_at(uint64_t x, int i) { return static_cast<uint8_t>(x >> (56 - 8 * i)); }

// The mixing box on the four byte pairs, followed by the shuffle that
// gathers the left outputs in bytes 0..3 and the right outputs in 4..7.
inline uint64_t mix_and_shuffle(uint64_t x) {
  uint64_t lefts = 0;
  uint64_t rights = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t xl = byte_at(x, 2 * i);
    uint8_t xr = byte_at(x, 2 * i + 1);
    lefts = lefts << 8 | kP[phi(xl) ^ xr];
    rights = rights << 8 | kP[rotl8(xl) ^ xr];
  }
  return lefts << 32 | rights;
}

inline uint64_t unshuffle_and_unmix(uint64_t z) {
  uint64_t x = 0;
  for (int i = 0; i < 4; ++i) {
    uint8_t pl = kP[byte_at(z, i)];
    uint8_t pr = kP[byte_at(z, i + 4)];
    uint8_t xl = phi_inverse(pl ^ pr);
    x = x << 16 | uint64_t{xl} << 8 | static_cast<uint8_t>(rotl8(xl) ^ pr);
  }
  return x;
}

inline uint64_t round_forward(uint64_t x, uint64_t subkey) {
  x = mix_and_shuffle(x ^ subkey);
  x = mix_and_shuffle(x ^ kC);
  return mix_and_shuffle(x ^ kCPrime);
}

inline uint64_t round_backward(uint64_t x, uint64_t subkey) {
  x = unshuffle_and_unmix(x) ^ kCPrime;
  x = unshuffle_and_unmix(x) ^ kC;
  return unshuffle_and_unmix(x) ^ subkey;
}

uint64_t p_each_byte(uint64_t x) {
  uint64_t out = 0;
  for (int i = 0; i < 8; ++i) out = out << 8 | kP[byte_at(x, i)];
  return out;
}

// Transposes the 8x8 bit matrix whose rows are the bytes (bits counted from
// the most significant): bit j of output byte i is bit i of input byte j.
uint64_t transpose(uint64_t x) {
  uint64_t out = 0;
  for (int i = 0; i < 8; ++i) {
    for (int j = 0; j < 8; ++j) {
      uint64_t bit = byte_at(x, j) >> (7 - i) & 1;
      out |= bit << (63 - 8 * i - j);
    }
  }
  return out;
}

// The key schedule constants: consecutive eight-byte pieces of the P table.
uint64_t schedule_constant(int i) { return load_be64(kP.data() + 8 * i); }

struct Encipher {
  const CsCipherKey::Subkeys& k;
  uint64_t operator()(uint64_t x) const {
    for (int i = 0; i < 8; ++i) x = round_forward(x, k[i]);
    return x ^ k[8];
  }
};

struct Decipher {
  const CsCipherKey::Subkeys& k;
  uint64_t operator()(uint64_t x) const {
    x ^= k[8];
    for (int i = 7; i >= 0; --i) x = round_backward(x, k[i]);
    return x;
  }
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

CsCipherKey::CsCipherKey() { schedule({}); }

CsCipherKey::~CsCipherKey() { wipe(subkeys_.data(), sizeof subkeys_); }

void CsCipherKey::schedule(const std::array<uint8_t, kCsMaxKeySize>& key) {
  uint64_t before_previous = load_be64(key.data() + 8);  // k(-2)
  uint64_t previous = load_be64(key.data());             // k(-1)
  for (int i = 0; i < 9; ++i) {
    uint64_t k = before_previous ^ transpose(p_each_byte(previous ^ schedule_constant(i)));
    subkeys_[i] = k;
    before_previous = previous;
    previous = k;
  }
}

CsKeyResult CsCipherKey::set_key_bytes(std::span<const uint8_t> key) {
  if (key.size() > kCsMaxKeySize) return CsKeyResult::key_too_long;
  std::array<uint8_t, kCsMaxKeySize> padded{};
  std::copy(key.begin(), key.end(), padded.begin());
  schedule(padded);
  wipe(padded.data(), padded.size());
  return CsKeyResult::ok;
}

CsKeyResult CsCipherKey::set_key_text(std::string_view text) {
  if (text.size() > 2 * kCsMaxKeySize) return CsKeyResult::key_too_long;
  if (text.size() % 2 != 0) return CsKeyResult::odd_digit_count;
  std::array<uint8_t, kCsMaxKeySize> key{};
  for (size_t i = 0; i < text.size() / 2; ++i) {
    int high = hex_value(text[2 * i]);
    int low = hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) {
      wipe(key.data(), key.size());
      return CsKeyResult::bad_digit;
    }
    key[i] = static_cast<uint8_t>(high << 4 | low);
  }
  schedule(key);
  wipe(key.data(), key.size());
  return CsKeyResult::ok;
}

void CsCipherKey::encrypt_block(std::span<uint8_t, kCsBlockSize> block) const {
  store_be64(block.data(), Encipher{subkeys_}(load_be64(block.data())));
}

void CsCipherKey::decrypt_block(std::span<uint8_t, kCsBlockSize> block) const {
  store_be64(block.data(), Decipher{subkeys_}(load_be64(block.data())));
}

bool CsCipherKey::cbc_encrypt(std::span<uint8_t> data, std::span<uint8_t, kCsBlockSize> chain) const {
  if (data.size() % kCsBlockSize != 0) return false;
  cbc_encrypt_blocks(Encipher{subkeys_}, data.data(), data.size(), chain.data());
  return true;
}

bool CsCipherKey::cbc_decrypt(std::span<uint8_t> data, std::span<uint8_t, kCsBlockSize> chain) const {
  if (data.size() % kCsBlockSize != 0) return false;
  cbc_decrypt_blocks(Decipher{subkeys_}, data.data(), data.size(), chain.data());
  return true;
}

}  // namespace zyp::softtok
