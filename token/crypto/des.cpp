#include "token/crypto/des.h"

#include <bit>

#include "token/crypto/bytes.h"
#include "token/crypto/cbc.h"

namespace zyp::softtok {
namespace {

// ---- Standard tables (bit numbers count from 1 at the most significant bit)

constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,
     0,  15, 7,  4, 14, 2,  13, 1,  10, 6,  12, 11, 9,  5,  3, 8,
     4,  1,  14, 8, 13, 6,  2,  11, 15, 12, 9,  7,  3,  10, 5, 0,
     15, 12, 8,  2, 4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6, 13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10,
     3,  13, 4,  7,  15, 2,  8,  14, 12, 0, 1,  10, 6,  9, 11, 5,
     0,  14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,  9,  3, 2,  15,
     13, 8,  10, 1,  3,  15, 4,  2,  11, 6, 7,  12, 0,  5, 14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,
     13, 7,  0,  9,  3, 4,  6,  10, 2,  8,  5,  14, 12, 11, 15, 1,
     13, 6,  4,  9,  8, 15, 3,  0,  11, 1,  2,  12, 5,  10, 14, 7,
     1,  10, 13, 0,  6, 9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15,
     13, 8,  11, 5, 6,  15, 0,  3,  4,  7, 2, 12, 1,  10, 14, 9,
     10, 6,  9,  0, 12, 11, 7,  13, 15, 1, 3, 14, 5,  2,  8,  4,
     3,  15, 0,  6, 10, 1,  13, 8,  9,  4, 5, 11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0, 14, 9,
     14, 11, 2,  12, 4,  7,  13, 1,  5,  0,  15, 10, 3,  9, 8,  6,
     4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,  6,  3, 0,  14,
     11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4, 5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11,
     10, 15, 4,  2,  7, 12, 9,  5,  6,  1,  13, 14, 0,  11, 3,  8,
     9,  14, 15, 5,  2, 8,  12, 3,  7,  0,  4,  10, 1,  13, 11, 6,
     4,  3,  2,  12, 9, 5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9, 7,  5,  10, 6, 1,
     13, 0,  11, 7,  4,  9, 1,  10, 14, 3,  5, 12, 2,  15, 8, 6,
     1,  4,  11, 13, 12, 3, 7,  14, 10, 15, 6, 8,  0,  5,  9, 2,
     6,  11, 13, 8,  1,  4, 10, 7,  9,  5,  0, 15, 14, 2,  3, 12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,
     1,  15, 13, 8, 10, 3,  7,  4,  12, 5,  6,  11, 0,  14, 9,  2,
     7,  11, 4,  1, 9,  12, 14, 2,  0,  6,  10, 13, 15, 3,  5,  8,
     2,  1,  14, 7, 4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// ---- Working form
//
// The two 32-bit halves are kept rotated left by one bit (bit k of a half at
// position (33 - k) mod 32). In that form the six input bits of S-boxes
// 8, 6, 4, 2 sit in the low six bits of each byte of the half, and those of
// S-boxes 7, 5, 3, 1 in the low six bits of each byte of the half rotated
// right by four, so the expansion E costs one rotation. A round key is kept
// as two words that line up with these: groups 1, 3, 5, 7 and 2, 4, 6, 8.

constexpr uint32_t working_bit(int k) { return uint32_t{1} << ((33 - k) % 32); }

// kSP[j][v]: the output of S-box j + 1 on the six bits v, passed through P,
// in working form.
struct SpTables {
  alignas(64) uint32_t t[8][64];
};

constexpr SpTables make_sp_tables() {
  SpTables sp{};
  for (int box = 0; box < 8; ++box) {
    for (int v = 0; v < 64; ++v) {
      int row = ((v >> 4) & 2) | (v & 1);
      int column = (v >> 1) & 15;
      uint32_t s_out = uint32_t{kSBoxes[box][row * 16 + column]} << (28 - 4 * box);
      uint32_t word = 0;
      for (int k = 1; k <= 32; ++k) {
        if (s_out >> (32 - kP[k - 1]) & 1) word |= working_bit(k);
      }
      sp.t[box][v] = word;
    }
  }
  return sp;
}

constexpr SpTables kSP = make_sp_tables();

// kPC1Table[i][v]: the 56-bit C||D register (C in bits 55..28) contributed by
// key byte i holding v. Parity bits (8, 16, ...) are never selected by PC-1.
struct Pc1Table {
  uint64_t t[8][256];
};

constexpr Pc1Table make_pc1_table() {
  Pc1Table pc1{};
  for (int m = 1; m <= 56; ++m) {
    int n = kPC1[m - 1] - 1;
    for (int v = 0; v < 256; ++v) {
      if (v >> (7 - n % 8) & 1) pc1.t[n / 8][v] |= uint64_t{1} << (56 - m);
    }
  }
  return pc1;
}

// kPC2Table[q][v]: the round key, in working form (first word in the high
// half), selected by PC-2 from the seven register bits 7q+1..7q+7 holding v.
struct Pc2Table {
  uint64_t t[8][128];
};

constexpr Pc2Table make_pc2_table() {
  Pc2Table pc2{};
  for (int t = 1; t <= 48; ++t) {
    int m = kPC2[t - 1] - 1;
    int group = (t - 1) / 6;
    int shift = 24 - 8 * (group / 2) + (5 - (t - 1) % 6) + (group % 2 == 0 ? 32 : 0);
    for (int v = 0; v < 128; ++v) {
      if (v >> (6 - m % 7) & 1) pc2.t[m / 7][v] |= uint64_t{1} << shift;
    }
  }
  return pc2;
}

constexpr Pc1Table kPC1Table = make_pc1_table();
constexpr Pc2Table kPC2Table = make_pc2_table();

constexpr uint32_t kHalfMask = 0x0FFFFFFF;

inline uint32_t rotate28(uint32_t half, int n) { return ((half << n) | (half >> (28 - n))) & kHalfMask; }

void make_schedule(const uint8_t* key, DesKey::Schedule& schedule) {
  uint64_t cd = 0;
  for (int i = 0; i < 8; ++i) cd |= kPC1Table.t[i][key[i]];
  uint32_t c = static_cast<uint32_t>(cd >> 28);
  uint32_t d = static_cast<uint32_t>(cd) & kHalfMask;
  for (int round = 0; round < 16; ++round) {
    c = rotate28(c, kKeyShifts[round]);
    d = rotate28(d, kKeyShifts[round]);
    cd = uint64_t{c} << 28 | d;
    uint64_t round_key = 0;
    for (int q = 0; q < 8; ++q) round_key |= kPC2Table.t[q][(cd >> (49 - 7 * q)) & 127];
    schedule[2 * round] = static_cast<uint32_t>(round_key >> 32);
    schedule[2 * round + 1] = static_cast<uint32_t>(round_key);
  }
}

// ---- Block operations

inline void swap_bits(uint32_t& a, uint32_t& b, int shift, uint32_t mask) {
  uint32_t t = ((a >> shift) ^ b) & mask;
  b ^= t;
  a ^= t << shift;
}

// Initial permutation, leaving both halves in working form.
inline void initial_permutation(uint32_t& left, uint32_t& right) {
  swap_bits(left, right, 4, 0x0F0F0F0F);
  swap_bits(left, right, 16, 0x0000FFFF);
  swap_bits(right, left, 2, 0x33333333);
  swap_bits(right, left, 8, 0x00FF00FF);
  right = std::rotl(right, 1);
  uint32_t t = (left ^ right) & 0xAAAAAAAA;
  left ^= t;
  right ^= t;
  left = std::rotl(left, 1);
}

// The exact inverse of initial_permutation.
inline void final_permutation(uint32_t& left, uint32_t& right) {
  left = std::rotr(left, 1);
  uint32_t t = (left ^ right) & 0xAAAAAAAA;
  left ^= t;
  right ^= t;
  right = std::rotr(right, 1);
  swap_bits(right, left, 8, 0x00FF00FF);
  swap_bits(right, left, 2, 0x33333333);
  swap_bits(left, right, 16, 0x0000FFFF);
  swap_bits(left, right, 4, 0x0F0F0F0F);
}

inline uint32_t feistel(uint32_t half, const uint32_t* round_key) {
  uint32_t w = std::rotr(half, 4) ^ round_key[0];
  uint32_t out = kSP.t[6][w & 63] | kSP.t[4][(w >> 8) & 63] | kSP.t[2][(w >> 16) & 63] | kSP.t[0][(w >> 24) & 63];
  w = half ^ round_key[1];
  return out | kSP.t[7][w & 63] | kSP.t[5][(w >> 8) & 63] | kSP.t[3][(w >> 16) & 63] | kSP.t[1][(w >> 24) & 63];
}

// Sixteen rounds without the final swap of halves: the result is (right,
// left). Deciphering runs the same schedule from its end.
template <bool Decipher>
inline void sixteen_rounds(uint32_t& left, uint32_t& right, const DesKey::Schedule& schedule) {
  const uint32_t* k = schedule.data();
#pragma GCC unroll 8
  for (int i = 0; i < 8; ++i) {
    left ^= feistel(right, Decipher ? k + 30 - 4 * i : k + 4 * i);
    right ^= feistel(left, Decipher ? k + 28 - 4 * i : k + 4 * i + 2);
  }
}

// One block through one DES (Stages = 1) or triple DES (Stages = 3). Between
// the stages the final and the next initial permutation cancel, so only the
// halves trade places.
template <int Stages, bool Decipher>
inline uint64_t crypt_block(uint64_t block, const std::array<DesKey::Schedule, 3>& schedules) {
  uint32_t left = static_cast<uint32_t>(block >> 32);
  uint32_t right = static_cast<uint32_t>(block);
  initial_permutation(left, right);
  if constexpr (Stages == 1) {
    sixteen_rounds<Decipher>(left, right, schedules[0]);
  } else {
    const auto& first = schedules[Decipher ? 2 : 0];
    const auto& last = schedules[Decipher ? 0 : 2];
    sixteen_rounds<Decipher>(left, right, first);
    sixteen_rounds<!Decipher>(right, left, schedules[1]);
    sixteen_rounds<Decipher>(left, right, last);
  }
  final_permutation(right, left);
  return uint64_t{right} << 32 | left;
}

template <int Stages, bool Decipher>
struct BlockCipher {
  const std::array<DesKey::Schedule, 3>& schedules;
  uint64_t operator()(uint64_t block) const { return crypt_block<Stages, Decipher>(block, schedules); }
};

template <bool Decipher>
void crypt_one(const std::array<DesKey::Schedule, 3>& schedules, bool triple, uint8_t* block) {
  uint64_t in = load_be64(block);
  store_be64(block, triple ? crypt_block<3, Decipher>(in, schedules) : crypt_block<1, Decipher>(in, schedules));
}

}  // namespace

std::optional<DesKey> DesKey::from_bytes(std::span<const uint8_t> key) {
  if (key.size() != 8 && key.size() != 16 && key.size() != 24) return std::nullopt;
  DesKey k;
  k.triple_ = key.size() > 8;
  for (size_t i = 0; i < key.size() / 8; ++i) make_schedule(key.data() + 8 * i, k.schedules_[i]);
  if (key.size() == 16) k.schedules_[2] = k.schedules_[0];
  return k;
}

DesKey::~DesKey() { wipe(schedules_.data(), sizeof schedules_); }

void DesKey::encrypt_block(std::span<uint8_t, kDesBlockSize> block) const {
  crypt_one<false>(schedules_, triple_, block.data());
}

void DesKey::decrypt_block(std::span<uint8_t, kDesBlockSize> block) const {
  crypt_one<true>(schedules_, triple_, block.data());
}

bool DesKey::cbc_encrypt(std::span<uint8_t> data, std::span<uint8_t, kDesBlockSize> chain) const {
  if (data.size() % kDesBlockSize != 0) return false;
  if (triple_) {
    cbc_encrypt_blocks(BlockCipher<3, false>{schedules_}, data.data(), data.size(), chain.data());
  } else {
    cbc_encrypt_blocks(BlockCipher<1, false>{schedules_}, data.data(), data.size(), chain.data());
  }
  return true;
}

bool DesKey::cbc_decrypt(std::span<uint8_t> data, std::span<uint8_t, kDesBlockSize> chain) const {
  if (data.size() % kDesBlockSize != 0) return false;
  if (triple_) {
    cbc_decrypt_blocks(BlockCipher<3, true>{schedules_}, data.data(), data.size(), chain.data());
  } else {
    cbc_decrypt_blocks(BlockCipher<1, true>{schedules_}, data.data(), data.size(), chain.data());
  }
  return true;
}

std::array<uint8_t, 8> spread_des40_key(std::span<const uint8_t, 5> bits) {
  uint64_t value = 0;
  for (uint8_t b : bits) value = value << 8 | b;
  std::array<uint8_t, 8> key;
  for (int i = 0; i < 8; ++i) key[i] = static_cast<uint8_t>(((value >> (35 - 5 * i)) & 0x1F) << 3);
  return key;
}

std::array<uint8_t, 8> mask_des40_key(std::span<const uint8_t, 8> key) {
  std::array<uint8_t, 8> masked;
  for (int i = 0; i < 8; ++i) masked[i] = key[i] & 0xF8;
  return masked;
}

}  // namespace zyp::softtok
