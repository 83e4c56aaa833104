#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <random>
#include <string>
#include <vector>

#include "token/crypto/des.h"

namespace zyp::softtok {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(std::string text) {
  std::erase(text, ' ');
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes random_bytes(std::mt19937& random, size_t size) {
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

DesKey key_of(const Bytes& bytes) {
  auto key = DesKey::from_bytes(bytes);
  EXPECT_TRUE(key) << bytes.size();
  return key ? *key : *DesKey::from_bytes(Bytes(8));
}

Bytes ecb_encrypt(const DesKey& key, Bytes data) {
  for (size_t i = 0; i < data.size(); i += 8) key.encrypt_block(std::span<uint8_t, 8>(data.data() + i, 8));
  return data;
}

std::array<uint8_t, 8> chain_of(const Bytes& iv) {
  std::array<uint8_t, 8> chain{};
  std::copy(iv.begin(), iv.end(), chain.begin());
  return chain;
}

struct KnownAnswer {
  const char* key;
  const char* iv;  // empty for ECB
  const char* plain;
  const char* cipher;
};

constexpr const char* kNowIsTheTime = "4e6f772069732074 68652074696d6520 666f7220616c6c20";

TEST(Des, KnownAnswers) {
  const KnownAnswer cases[] = {
      {"0123456789abcdef", "", kNowIsTheTime, "3fa40e8a984d4815 6a271787ab8883f9 893d51ec4b563b53"},
      {"0123456789abcdef", "1234567890abcdef", kNowIsTheTime, "e5c7cdde872bf27c 43e934008c389c0f 683788499a7c05f6"},
      {"133457799bbcdff1", "", "0123456789abcdef", "85e813540f0ab405"},
      {"0101010101010101", "", "8000000000000000", "95f8a5e5dd31d900"},
      {"8001010101010101", "", "0000000000000000", "95a8d72813daa94d"},
      {"0000000000000000", "", "0000000000000000", "8ca64de9c1b123a7"},
      {"0123456789abcdef fedcba9876543210", "", "0123456789abcde7", "7f1d0a77826b8aff"},
      {"0123456789abcdef 0123456789abcdef", "", "0123456789abcde7", "c95744256a5ed31d"},
      {"0123456789abcdef fedcba9876543210 89abcdef01234567", "", "0123456789abcde7", "de0b7c06ae5e0ed5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " / " + c.plain);
    DesKey key = key_of(from_hex(c.key));
    Bytes plain = from_hex(c.plain);
    Bytes expected = from_hex(c.cipher);
    Bytes data = plain;
    if (*c.iv == '\0') {
      EXPECT_EQ(ecb_encrypt(key, data), expected);
      for (size_t i = 0; i < data.size(); i += 8) key.decrypt_block(std::span<uint8_t, 8>(expected.data() + i, 8));
      EXPECT_EQ(expected, plain);
    } else {
      auto chain = chain_of(from_hex(c.iv));
      ASSERT_TRUE(key.cbc_encrypt(data, chain));
      EXPECT_EQ(data, expected);
      chain = chain_of(from_hex(c.iv));
      ASSERT_TRUE(key.cbc_decrypt(data, chain));
      EXPECT_EQ(data, plain);
    }
  }
}

class OpenSslOracle : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
    default_ = OSSL_PROVIDER_load(nullptr, "default");
  }
  static void TearDownTestSuite() {
    if (legacy_) OSSL_PROVIDER_unload(legacy_);
    if (default_) OSSL_PROVIDER_unload(default_);
  }

  static Bytes openssl_cbc(const char* cipher_name, const Bytes& key, const Bytes& iv, const Bytes& plain) {
    EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, cipher_name, nullptr);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(plain.size() + 8);
    int written = 0;
    int final_written = 0;
    bool ok = cipher && ctx && EVP_EncryptInit_ex2(ctx, cipher, key.data(), iv.data(), nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, out.data(), &written, plain.data(), static_cast<int>(plain.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, out.data() + written, &final_written) == 1;
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    EXPECT_TRUE(ok) << cipher_name;
    out.resize(static_cast<size_t>(written + final_written));
    return out;
  }

  static inline OSSL_PROVIDER* legacy_ = nullptr;
  static inline OSSL_PROVIDER* default_ = nullptr;
};

TEST_F(OpenSslOracle, CbcMatchesForRandomKeysAndData) {
  struct Variant {
    const char* openssl_name;
    size_t key_size;
  };
  std::mt19937 random(2024);
  for (Variant v : {Variant{"DES-CBC", 8}, Variant{"DES-EDE-CBC", 16}, Variant{"DES-EDE3-CBC", 24}}) {
    for (int round = 0; round < 100; ++round) {
      SCOPED_TRACE(std::string(v.openssl_name) + " round " + std::to_string(round));
      Bytes key_bytes = random_bytes(random, v.key_size);
      Bytes iv = random_bytes(random, 8);
      Bytes plain = random_bytes(random, 8 * (random() % 40));
      Bytes expected = openssl_cbc(v.openssl_name, key_bytes, iv, plain);

      DesKey key = key_of(key_bytes);
      Bytes data = plain;
      auto chain = chain_of(iv);
      ASSERT_TRUE(key.cbc_encrypt(data, chain));
      ASSERT_EQ(data, expected);
      EXPECT_EQ(chain, chain_of(plain.empty() ? iv : Bytes(data.end() - 8, data.end())));
      chain = chain_of(iv);
      ASSERT_TRUE(key.cbc_decrypt(data, chain));
      ASSERT_EQ(data, plain);
    }
  }
}

TEST_F(OpenSslOracle, WeakAndParityWrongKeysAreUsedAsGiven) {
  const char* keys[] = {"0101010101010101", "fefefefefefefefe", "1f1f1f1f0e0e0e0e", "01fe01fe01fe01fe",
                        "0000000000000000", "0123456789abcdef 0000000000000000 ffffffffffffffff"};
  Bytes plain = from_hex("0011223344556677 8899aabbccddeeff");
  Bytes iv(8, 0x5a);
  for (const char* text : keys) {
    Bytes key_bytes = from_hex(text);
    Bytes data = plain;
    auto chain = chain_of(iv);
    ASSERT_TRUE(key_of(key_bytes).cbc_encrypt(data, chain));
    EXPECT_EQ(data, openssl_cbc(key_bytes.size() == 8 ? "DES-CBC" : "DES-EDE3-CBC", key_bytes, iv, plain)) << text;
  }
}

TEST(Des, ParityBitsAreIgnored) {
  std::mt19937 random(3);
  for (size_t size : {8, 16, 24}) {
    Bytes key_bytes = random_bytes(random, size);
    Bytes flipped = key_bytes;
    for (auto& b : flipped) b ^= 0x01;
    Bytes plain = random_bytes(random, 32);
    EXPECT_EQ(ecb_encrypt(key_of(key_bytes), plain), ecb_encrypt(key_of(flipped), plain)) << size;
  }
}

TEST(Des, TripleDesWithEqualKeysIsSingleDes) {
  std::mt19937 random(4);
  Bytes k1 = random_bytes(random, 8);
  Bytes k2 = random_bytes(random, 8);
  Bytes plain = random_bytes(random, 64);
  Bytes single = ecb_encrypt(key_of(k1), plain);

  Bytes two_key = k1;
  two_key.insert(two_key.end(), k1.begin(), k1.end());
  EXPECT_EQ(ecb_encrypt(key_of(two_key), plain), single);
  Bytes three_key = two_key;
  three_key.insert(three_key.end(), k1.begin(), k1.end());
  EXPECT_EQ(ecb_encrypt(key_of(three_key), plain), single);

  // Two-key triple DES is three-key triple DES with K3 = K1.
  Bytes k1k2 = k1;
  k1k2.insert(k1k2.end(), k2.begin(), k2.end());
  Bytes k1k2k1 = k1k2;
  k1k2k1.insert(k1k2k1.end(), k1.begin(), k1.end());
  EXPECT_EQ(ecb_encrypt(key_of(k1k2), plain), ecb_encrypt(key_of(k1k2k1), plain));
}

TEST(Des, CbcWithZeroChainStartsLikeEcb) {
  std::mt19937 random(5);
  for (size_t size : {8, 16, 24}) {
    DesKey key = key_of(random_bytes(random, size));
    Bytes plain = random_bytes(random, 16);
    Bytes data = plain;
    std::array<uint8_t, 8> chain{};
    ASSERT_TRUE(key.cbc_encrypt(data, chain));
    Bytes ecb = ecb_encrypt(key, plain);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 8, ecb.begin())) << size;
    EXPECT_FALSE(std::equal(data.begin() + 8, data.end(), ecb.begin() + 8)) << size;
  }
}

TEST(Des, ChainCarriesOverBetweenParts) {
  std::mt19937 random(6);
  for (size_t size : {8, 16, 24}) {
    DesKey key = key_of(random_bytes(random, size));
    Bytes iv = random_bytes(random, 8);
    Bytes plain = random_bytes(random, 8 * 37);
    Bytes whole = plain;
    auto whole_chain = chain_of(iv);
    ASSERT_TRUE(key.cbc_encrypt(whole, whole_chain));

    Bytes parts = plain;
    auto chain = chain_of(iv);
    for (size_t at = 0; at < parts.size();) {
      size_t piece = std::min<size_t>(8 * (random() % 6), parts.size() - at);
      ASSERT_TRUE(key.cbc_encrypt(std::span(parts).subspan(at, piece), chain));
      at += piece;
    }
    EXPECT_EQ(parts, whole) << size;
    EXPECT_EQ(chain, whole_chain) << size;

    chain = chain_of(iv);
    for (size_t at = 0; at < parts.size();) {
      size_t piece = std::min<size_t>(8 * (random() % 6), parts.size() - at);
      ASSERT_TRUE(key.cbc_decrypt(std::span(parts).subspan(at, piece), chain));
      at += piece;
    }
    EXPECT_EQ(parts, plain) << size;
  }
}

TEST(Des, RefusesBadSizes) {
  for (size_t size : {0, 7, 9, 15, 17, 23, 25, 32}) EXPECT_FALSE(DesKey::from_bytes(Bytes(size, 1))) << size;

  DesKey key = key_of(Bytes(8, 0x13));
  Bytes data(12, 0x77);
  std::array<uint8_t, 8> chain{1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_FALSE(key.cbc_encrypt(data, chain));
  EXPECT_FALSE(key.cbc_decrypt(data, chain));
  EXPECT_EQ(data, Bytes(12, 0x77));
  EXPECT_EQ(chain, (std::array<uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(Des40, SpreadsFortyBitsIntoTheTopOfEachByte) {
  struct Case {
    const char* bits;
    const char* key;
  } cases[] = {
      {"ffffffffff", "f8f8f8f8f8f8f8f8"},
      {"0000000000", "0000000000000000"},
      {"8000000000", "8000000000000000"},
      {"0000000001", "0000000000000008"},
      {"0842108421", "0808080808080808"},  // 00001 repeated
      {"f83e0f83e0", "f800f800f800f800"},  // 11111 00000 repeated
  };
  for (const auto& c : cases) {
    Bytes bits = from_hex(c.bits);
    auto key = spread_des40_key(std::span<const uint8_t, 5>(bits.data(), 5));
    EXPECT_EQ(Bytes(key.begin(), key.end()), from_hex(c.key)) << c.bits;
  }
  Bytes full = from_hex("0123456789abcdef");
  auto masked = mask_des40_key(std::span<const uint8_t, 8>(full.data(), 8));
  EXPECT_EQ(Bytes(masked.begin(), masked.end()), from_hex("0020406088a8c8e8"));
}

}  // namespace
}  // namespace zyp::softtok
