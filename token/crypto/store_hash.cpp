#include "token/crypto/store_hash.h"

#include <algorithm>

#include "token/crypto/bytes.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define ZYP_STORE_HASH_X86 1
#endif

namespace zyp::softtok {
namespace {

// The "rotation" of this hash: the right-shifted part is shifted as a signed
// value, so a word with its top bit set drags ones in. For a word with its
// top bit clear it is a true rotation.
inline uint32_t sign_rotate(uint32_t x, int n) {
  return (x << n) | static_cast<uint32_t>(static_cast<int32_t>(x) >> (32 - n));
}

// The round functions. Majority is the sum of two parts with no common bits,
// which the compiler may add one at a time.
inline uint32_t choose(uint32_t b, uint32_t c, uint32_t d) { return ((c ^ d) & b) ^ d; }
inline uint32_t parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
inline uint32_t majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) + (d & (b ^ c)); }

constexpr uint32_t kRoundConstants[4] = {0x5A827999, 0x6ED9EBA1, 0x8F1BBCDC, 0xCA62C1D6};

using Chain = std::array<uint32_t, 5>;

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

// The reference path: plain C++ for any processor.
void compress_scalar(Chain& h, const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t w[80];
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) w[i] = load_le32(blocks + 4 * i);
#pragma GCC unroll 64
    for (int i = 16; i < 80; ++i) w[i] = sign_rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    Words s{h[0], h[1], h[2], h[3], h[4]};
    twenty_rounds<choose, kRoundConstants[0]>(s, w);
    twenty_rounds<parity, kRoundConstants[1]>(s, w + 20);
    twenty_rounds<majority, kRoundConstants[2]>(s, w + 40);
    twenty_rounds<parity, kRoundConstants[3]>(s, w + 60);
    h[0] += s.a;
    h[1] += s.b;
    h[2] += s.c;
    h[3] += s.d;
    h[4] += s.e;
    wipe(w, sizeof w);
  }
}

#ifdef ZYP_STORE_HASH_X86

__attribute__((always_inline)) inline __m128i sign_rotate_1x4(__m128i x) {
  return _mm_or_si128(_mm_slli_epi32(x, 1), _mm_srai_epi32(x, 31));
}

// Words i..i+3 of the message schedule from the four groups before them
// (w[i-16..i-13], w[i-12..i-9], w[i-8..i-5], w[i-4..i-1]). The last word
// needs w[i], made in the same step: it is computed first with a zero in its
// place, then once more with w[i] put in. The rotation is not linear, so the
// put-in word must go in before the rotation, not after.
__attribute__((always_inline)) inline __m128i next_schedule_group(__m128i g16, __m128i g12, __m128i g8, __m128i g4) {
  __m128i w14 = _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(g16), _mm_castsi128_pd(g12), 1));
  __m128i w3 = _mm_srli_si128(g4, 4);
  __m128i t = _mm_xor_si128(_mm_xor_si128(g16, w14), _mm_xor_si128(g8, w3));
  __m128i first = sign_rotate_1x4(t);
  return sign_rotate_1x4(_mm_xor_si128(t, _mm_slli_si128(first, 12)));
}

// The rotations of the rounds, by 5 and by 30. With constant counts the
// compiler uses shifts that overwrite their source; counts held in registers
// let it use BMI2's three-operand shifts, which save a move each.
struct ConstantCounts {
  static uint32_t rotate5(uint32_t x) { return sign_rotate(x, 5); }
  static uint32_t rotate30(uint32_t x) { return sign_rotate(x, 30); }
};

struct RegisterCounts {
  int left5 = 5, right27 = 27, left30 = 30, right2 = 2;
  RegisterCounts() { asm("" : "+r"(left5), "+r"(right27), "+r"(left30), "+r"(right2)); }
  uint32_t rotate5(uint32_t x) const { return (x << left5) | static_cast<uint32_t>(static_cast<int32_t>(x) >> right27); }
  uint32_t rotate30(uint32_t x) const { return (x << left30) | static_cast<uint32_t>(static_cast<int32_t>(x) >> right2); }
};

// The round functions added into e. Choose and majority are sums of two
// parts with no common bits (choose: b & c and ~b & d), added one at a time so
// that neither waits for the other.
inline void add_choose(uint32_t& e, uint32_t b, uint32_t c, uint32_t d) {
  e += ~b & d;
  e += b & c;
}
inline void add_parity(uint32_t& e, uint32_t b, uint32_t c, uint32_t d) { e += b ^ c ^ d; }
inline void add_majority(uint32_t& e, uint32_t b, uint32_t c, uint32_t d) {
  e += b & c;
  e += d & (b ^ c);
}

// One round; the caller rotates the roles of a..e instead of moving words.
// The rotated a is added last: it is the only input that the previous round
// has just produced.
#define ZYP_STORE_ROUND(F, a, b, c, d, e, wk) \
  do {                                         \
    e += (wk);                                 \
    add_##F(e, b, c, d);                       \
    e += counts.rotate5(a);                    \
    b = counts.rotate30(b);                    \
  } while (0)

// Rounds i..i+3; afterwards the roles have moved by four places, and the
// renaming puts them back so that every group starts from a.
#define ZYP_STORE_FOUR_ROUNDS(F, i)                 \
  ZYP_STORE_ROUND(F, a, b, c, d, e, wk[(i) + 0]);   \
  ZYP_STORE_ROUND(F, e, a, b, c, d, wk[(i) + 1]);   \
  ZYP_STORE_ROUND(F, d, e, a, b, c, wk[(i) + 2]);   \
  ZYP_STORE_ROUND(F, c, d, e, a, b, wk[(i) + 3]);   \
  do {                                              \
    uint32_t first = a;                             \
    a = b, b = c, c = d, d = e, e = first;          \
  } while (0)

// Words 4j..4j+3 of the schedule plus their round constant, stored for the
// rounds. The empty asm keeps them in memory: each round then reads its word
// with its add, which costs less than moving it out of a vector register.
#define ZYP_STORE_SCHEDULE_GROUP(j)                                                                   \
  do {                                                                                                \
    g[j] = next_schedule_group(g[(j) - 4], g[(j) - 3], g[(j) - 2], g[(j) - 1]);                       \
    __m128i k = _mm_set1_epi32(static_cast<int>(kRoundConstants[(j) / 5]));                           \
    _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4 * (j)), _mm_add_epi32(g[j], k));                \
    asm("" : : "r"(wk) : "memory");                                                                   \
  } while (0)

// The schedule runs four words at a time in vector registers, each group
// made while the integer units run the four rounds before it, so that the
// two overlap.
template <class Counts>
__attribute__((always_inline)) inline void compress_vector_schedule(Chain& h, const uint8_t* blocks, size_t count) {
  alignas(16) uint32_t wk[80];
  const Counts counts;
  for (; count > 0; --count, blocks += 64) {
    __m128i g[20];
    for (int j = 0; j < 4; ++j) {
      g[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * j));
      __m128i k = _mm_set1_epi32(static_cast<int>(kRoundConstants[0]));
      _mm_store_si128(reinterpret_cast<__m128i*>(wk + 4 * j), _mm_add_epi32(g[j], k));
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    ZYP_STORE_SCHEDULE_GROUP(4);
    ZYP_STORE_FOUR_ROUNDS(choose, 0);
    ZYP_STORE_SCHEDULE_GROUP(5);
    ZYP_STORE_FOUR_ROUNDS(choose, 4);
    ZYP_STORE_SCHEDULE_GROUP(6);
    ZYP_STORE_FOUR_ROUNDS(choose, 8);
    ZYP_STORE_SCHEDULE_GROUP(7);
    ZYP_STORE_FOUR_ROUNDS(choose, 12);
    ZYP_STORE_SCHEDULE_GROUP(8);
    ZYP_STORE_FOUR_ROUNDS(choose, 16);
    ZYP_STORE_SCHEDULE_GROUP(9);
    ZYP_STORE_FOUR_ROUNDS(parity, 20);
    ZYP_STORE_SCHEDULE_GROUP(10);
    ZYP_STORE_FOUR_ROUNDS(parity, 24);
    ZYP_STORE_SCHEDULE_GROUP(11);
    ZYP_STORE_FOUR_ROUNDS(parity, 28);
    ZYP_STORE_SCHEDULE_GROUP(12);
    ZYP_STORE_FOUR_ROUNDS(parity, 32);
    ZYP_STORE_SCHEDULE_GROUP(13);
    ZYP_STORE_FOUR_ROUNDS(parity, 36);
    ZYP_STORE_SCHEDULE_GROUP(14);
    ZYP_STORE_FOUR_ROUNDS(majority, 40);
    ZYP_STORE_SCHEDULE_GROUP(15);
    ZYP_STORE_FOUR_ROUNDS(majority, 44);
    ZYP_STORE_SCHEDULE_GROUP(16);
    ZYP_STORE_FOUR_ROUNDS(majority, 48);
    ZYP_STORE_SCHEDULE_GROUP(17);
    ZYP_STORE_FOUR_ROUNDS(majority, 52);
    ZYP_STORE_SCHEDULE_GROUP(18);
    ZYP_STORE_FOUR_ROUNDS(majority, 56);
    ZYP_STORE_SCHEDULE_GROUP(19);
    ZYP_STORE_FOUR_ROUNDS(parity, 60);
    ZYP_STORE_FOUR_ROUNDS(parity, 64);
    ZYP_STORE_FOUR_ROUNDS(parity, 68);
    ZYP_STORE_FOUR_ROUNDS(parity, 72);
    ZYP_STORE_FOUR_ROUNDS(parity, 76);
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
  }
  wipe(wk, sizeof wk);
}

#undef ZYP_STORE_SCHEDULE_GROUP
#undef ZYP_STORE_FOUR_ROUNDS
#undef ZYP_STORE_ROUND

// SSE2 is part of every x86-64 processor.
void compress_sse2(Chain& h, const uint8_t* blocks, size_t count) {
  compress_vector_schedule<ConstantCounts>(h, blocks, count);
}

// The same code built for AVX2 and BMI: three-operand vector forms and
// shifts that leave their source intact save moves in every round.
__attribute__((target("avx2,bmi,bmi2"))) void compress_avx2(Chain& h, const uint8_t* blocks, size_t count) {
  compress_vector_schedule<RegisterCounts>(h, blocks, count);
}

#endif

using Compressor = void (*)(Chain&, const uint8_t*, size_t);

Compressor compressor_of(StoreHashPath path) {
  switch (path) {
#ifdef ZYP_STORE_HASH_X86
    case StoreHashPath::sse2:
      return compress_sse2;
    case StoreHashPath::avx2:
      return compress_avx2;
#endif
    default:
      return compress_scalar;
  }
}

}  // namespace

bool StoreHash::path_available(StoreHashPath path) {
  switch (path) {
    case StoreHashPath::scalar:
      return true;
#ifdef ZYP_STORE_HASH_X86
    case StoreHashPath::sse2:
      return true;
    case StoreHashPath::avx2:
      __builtin_cpu_init();  // may run before the constructors that set it up
      return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
#endif
    default:
      return false;
  }
}

StoreHashPath StoreHash::best_path() {
  static const StoreHashPath best = [] {
    for (StoreHashPath path : {StoreHashPath::avx2, StoreHashPath::sse2}) {
      if (path_available(path)) return path;
    }
    return StoreHashPath::scalar;
  }();
  return best;
}

StoreHash::StoreHash(StoreHashPath path) : path_(path_available(path) ? path : StoreHashPath::scalar) { reset(); }

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
  if (count > 0) compressor_of(path_)(h_, blocks, count);
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

StoreDigest StoreHash::of(std::span<const uint8_t> bytes, StoreHashPath path) {
  StoreHash hash(path);
  hash.update(bytes);
  return hash.finish();
}

}  // namespace zyp::softtok
