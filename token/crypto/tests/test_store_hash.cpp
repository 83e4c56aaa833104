#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "token/crypto/store_hash.h"

namespace zyp::softtok {
namespace {

std::string hex(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
  return bytes;
}

// A one-shot model written straight from the definition: the whole padded
// message is built first, so it shares none of the incremental buffering.
StoreDigest model_digest(const std::vector<uint8_t>& message) {
  auto srot = [](uint32_t x, int n) {
    int32_t s = static_cast<int32_t>(x);
    return (x << n) | static_cast<uint32_t>(s >> (32 - n));
  };
  std::vector<uint8_t> m = message;
  uint64_t bits = uint64_t{message.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (uint32_t word : {static_cast<uint32_t>(bits >> 32), static_cast<uint32_t>(bits)}) {
    for (int i = 0; i < 4; ++i) m.push_back(static_cast<uint8_t>(word >> (8 * i)));
  }
  uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  for (size_t block = 0; block < m.size(); block += 64) {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i) {
      const uint8_t* p = &m[block + 4 * i];
      w[i] = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    }
    for (int i = 16; i < 80; ++i) w[i] = srot(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
      else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
      else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
      else f = b ^ c ^ d, k = 0xCA62C1D6;
      uint32_t t = srot(a, 5) + f + e + w[i] + k;
      e = d, d = c, c = srot(b, 30), b = a, a = t;
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
  }
  StoreDigest digest;
  for (int i = 0; i < 20; ++i) digest[i] = static_cast<uint8_t>(h[i / 4] >> (8 * (i % 4)));
  return digest;
}

TEST(StoreHash, KnownDigestOfAbcDiffersFromSha1) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(hex(StoreHash::of(abc)), "1e61b26010a82d9eb01e168986ed5a18804c564f");
  uint8_t sha1[SHA_DIGEST_LENGTH];
  SHA1(abc, sizeof abc, sha1);
  EXPECT_EQ(hex(sha1), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(StoreHash, MatchesTheModelAcrossPaddingBoundaries) {
  // Lengths 0 to 200 cover the empty message, a padding that spills into an
  // extra block (56..63 bytes left) and several whole blocks.
  for (size_t size = 0; size <= 200; ++size) {
    auto message = pattern(size);
    EXPECT_EQ(hex(StoreHash::of(message)), hex(model_digest(message))) << size;
  }
  std::vector<uint8_t> high_bits(300, 0xF3);  // words with the top bit set
  EXPECT_EQ(hex(StoreHash::of(high_bits)), hex(model_digest(high_bits)));
}

TEST(StoreHash, AnySplitGivesTheSameDigest) {
  auto message = pattern(1000);
  StoreDigest whole = StoreHash::of(message);
  for (size_t cut = 0; cut <= message.size(); ++cut) {
    StoreHash hash;
    hash.update(message.data(), cut);
    hash.update(message.data() + cut, message.size() - cut);
    ASSERT_EQ(hash.finish(), whole) << cut;
  }
  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    StoreHash hash;
    for (size_t at = 0; at < message.size();) {
      size_t piece = std::min<size_t>(random() % 150, message.size() - at);
      hash.update(message.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(hash.finish(), whole) << round;
  }
}

constexpr StoreHashPath kPaths[] = {StoreHashPath::scalar, StoreHashPath::sse2, StoreHashPath::avx2};

std::vector<uint8_t> random_bytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

// Digests taken from the first, plain implementation; stored key stores and
// key identifiers depend on them, so every path must keep giving them.
TEST(StoreHash, EveryPathGivesThePinnedDigests) {
  struct Case {
    const char* name;
    std::vector<uint8_t> message;
    const char* digest;
  };
  const Case cases[] = {
      {"empty", {}, "73e7b418a9cc727abc7a18282fb9090bc785bde2"},
      {"abc", {'a', 'b', 'c'}, "1e61b26010a82d9eb01e168986ed5a18804c564f"},
      {"55 x ff", std::vector<uint8_t>(55, 0xFF), "edecbc36e0b0372e3cae2f2facb9a1eaae8e84a4"},
      {"56 x ff", std::vector<uint8_t>(56, 0xFF), "2c0d0a65dc71df3d07409f7371469cfa298949b4"},
      {"64 x ff", std::vector<uint8_t>(64, 0xFF), "7a62c9d006ff83542f58f30a3a913fd5b83a5efb"},
      {"65 x 80", std::vector<uint8_t>(65, 0x80), "46e766e5ecaf317a40eb408a9c58832033c1dade"},
      {"100000 random", random_bytes(100000, 2024), "3b1eaa12618c140571eb76b5d19040b5861fbcab"},
  };
  for (StoreHashPath path : kPaths) {
    if (!StoreHash::path_available(path)) {
      std::printf("path %d cannot run on this processor\n", static_cast<int>(path));
      continue;
    }
    for (const Case& c : cases) {
      EXPECT_EQ(hex(StoreHash::of(c.message, path)), c.digest) << c.name << ", path " << static_cast<int>(path);
    }
  }
}

// The vector paths against the plain one on lengths around the block and
// padding boundaries and on large random inputs, whole and in pieces.
TEST(StoreHash, EveryPathMatchesThePlainPath) {
  std::vector<size_t> sizes = {0, 1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 129, 1000, 4096};
  std::mt19937 random(99);
  for (int i = 0; i < 8; ++i) sizes.push_back(random() % (1 << 20));
  for (StoreHashPath path : kPaths) {
    if (!StoreHash::path_available(path)) continue;
    for (size_t size : sizes) {
      auto message = random_bytes(size, static_cast<uint32_t>(size));
      // Words with the top bit set take the sign-extending side of every rotation.
      std::vector<uint8_t> high(size, static_cast<uint8_t>(0x80 | size));
      for (const auto* m : {&message, &high}) {
        StoreDigest plain = StoreHash::of(*m, StoreHashPath::scalar);
        ASSERT_EQ(StoreHash::of(*m, path), plain) << "size " << size << ", path " << static_cast<int>(path);
        StoreHash pieces(path);
        for (size_t at = 0; at < m->size();) {
          size_t piece = std::min<size_t>(random() % 300, m->size() - at);
          pieces.update(m->data() + at, piece);
          at += piece;
        }
        ASSERT_EQ(pieces.finish(), plain) << "pieces, size " << size << ", path " << static_cast<int>(path);
      }
    }
    EXPECT_EQ(hex(StoreHash::of(pattern(300), path)), hex(model_digest(pattern(300))));
  }
}

TEST(StoreHash, DefaultPathIsTheBestAvailable) {
  StoreHashPath best = StoreHash::best_path();
  EXPECT_TRUE(StoreHash::path_available(best));
  for (StoreHashPath path : kPaths) {
    if (path > best) {
      EXPECT_FALSE(StoreHash::path_available(path)) << static_cast<int>(path);
    }
  }
}

TEST(StoreHash, FinishIsFinalUntilReset) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  StoreHash hash;
  hash.update(abc);
  StoreDigest first = hash.finish();
  hash.update(abc);
  EXPECT_EQ(hash.finish(), first);
  hash.reset();
  hash.update(abc);
  EXPECT_EQ(hash.finish(), first);
}

}  // namespace
}  // namespace zyp::softtok
