#include "token/crypto/store_hash.h"

#include <algorithm>

#include "token/crypto/bytes.h"

namespace zyp::softtok {
namespace {

// The "rotation" of this hash: the right-shifted part is shifted as a signed
// value, so a word with its top bit set drags ones in. For a word with its
// top bit clear it is a true rotation.
inline uint32_t sign_rotate(uint32_t x, int n) {
  return (x << n) | static_cast<uint32_t>(static_cast<int32_t>(x) >> (32 - n));
}

inline uint32_t choose(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (~b & d); }
inline uint32_t parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) | (b & d) | (c & d); }

struct Words {
  uint32_t a, b, c, d, e;
};

template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), uint32_t K>
inline void twenty_rounds(Words& s, const uint32_t* w) {
#pragma GCC unroll 20
  for (int i = 0; i < 20; ++i) {
    uint32_t t = sign_rotate(s.a, 5) + F(s.b, s.c, s.d) + s.e + w[i] + K;
    s.e = s.d;
    s.d = s.c;
    s.c = sign_rotate(s.b, 30);
    s.b = s.a;
    s.a = t;
  }
}

void compress(std::array<uint32_t, 5>& h, const uint8_t* block) {
  uint32_t w[80];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) w[i] = load_le32(block + 4 * i);
#pragma GCC unroll 64
  for (int i = 16; i < 80; ++i) w[i] = sign_rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  Words s{h[0], h[1], h[2], h[3], h[4]};
  twenty_rounds<choose, 0x5A827999>(s, w);
  twenty_rounds<parity, 0x6ED9EBA1>(s, w + 20);
  twenty_rounds<majority, 0x8F1BBCDC>(s, w + 40);
  twenty_rounds<parity, 0xCA62C1D6>(s, w + 60);
  h[0] += s.a;
  h[1] += s.b;
  h[2] += s.c;
  h[3] += s.d;
  h[4] += s.e;
  wipe(w, sizeof w);
}

}  // namespace

StoreHash::~StoreHash() {
  wipe(h_.data(), sizeof h_);
  wipe(pending_.data(), sizeof pending_);
}

void StoreHash::reset() {
  h_ = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  bit_length_ = 0;
  pending_.fill(0);
  pending_size_ = 0;
  finished_ = false;
}

void StoreHash::compress_blocks(const uint8_t* blocks, size_t count) {
  for (size_t i = 0; i < count; ++i) compress(h_, blocks + 64 * i);
}

void StoreHash::update(const void* data, size_t size) {
  if (finished_ || size == 0) return;
  auto bytes = static_cast<const uint8_t*>(data);
  bit_length_ += static_cast<uint64_t>(size) << 3;
  if (pending_size_ > 0) {
    size_t take = std::min(size, pending_.size() - pending_size_);
    std::copy_n(bytes, take, pending_.data() + pending_size_);
    pending_size_ += take;
    bytes += take;
    size -= take;
    if (pending_size_ < pending_.size()) return;
    compress_blocks(pending_.data(), 1);
    pending_size_ = 0;
  }
  compress_blocks(bytes, size / 64);
  pending_size_ = size % 64;
  std::copy_n(bytes + size - pending_size_, pending_size_, pending_.data());
}

StoreDigest StoreHash::finish() {
  if (!finished_) {
    std::fill(pending_.begin() + pending_size_, pending_.end(), 0);
    pending_[pending_size_] = 0x80;
    if (pending_size_ >= 56) {
      compress_blocks(pending_.data(), 1);
      pending_.fill(0);
    }
    store_le32(pending_.data() + 56, static_cast<uint32_t>(bit_length_ >> 32));
    store_le32(pending_.data() + 60, static_cast<uint32_t>(bit_length_));
    compress_blocks(pending_.data(), 1);
    pending_.fill(0);
    pending_size_ = 0;
    finished_ = true;
  }
  StoreDigest digest;
  for (size_t i = 0; i < h_.size(); ++i) store_le32(digest.data() + 4 * i, h_[i]);
  return digest;
}

StoreDigest StoreHash::of(std::span<const uint8_t> bytes) {
  StoreHash hash;
  hash.update(bytes);
  return hash.finish();
}

}  // namespace zyp::softtok
