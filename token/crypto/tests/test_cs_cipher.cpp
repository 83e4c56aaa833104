#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "token/crypto/cs_cipher.h"

namespace zyp::softtok {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

CsCipherKey key_of(const std::string& hex) {
  CsCipherKey key;
  EXPECT_EQ(key.set_key_bytes(from_hex(hex)), CsKeyResult::ok) << hex;
  return key;
}

std::span<uint8_t, 8> block_of(Bytes& bytes) { return std::span<uint8_t, 8>(bytes.data(), 8); }

TEST(CsCipher, KnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  } cases[] = {
      {"0123456789abcdeffedcba9876543210", "0123456789abcdef", "88fddfbe954479d7"},
      {"80000000000000000000000000000000", "0000000000000000", "b3ceaa7e54954091"},
      {"00000000000000000000000000000000", "0000000000000000", "e7557c23ea2074bb"},
      {"000102030405060708090a0b0c0d0e0f", "0001020304050607", "434a4eaec4abf667"},
      {"0102030405060708090a0b0c0d0e0f10", "1011121314151617", "3b99b12ffcb158e4"},
      {"0123456789abcdef", "0123456789abcdef", "31da4e9a78a904dd"},
  };
  for (const auto& c : cases) {
    CsCipherKey key = key_of(c.key);
    Bytes block = from_hex(c.plain);
    key.encrypt_block(block_of(block));
    EXPECT_EQ(block, from_hex(c.cipher)) << c.key;
    key.decrypt_block(block_of(block));
    EXPECT_EQ(block, from_hex(c.plain)) << c.key;
  }
}

TEST(CsCipher, KeyScheduleGivesThePublishedSubkeys) {
  const CsCipherKey::Subkeys expected = {
      0x45fd137a4edf9ec4, 0x1dd43f03e6f7564c, 0xebe26756de9937c7, 0x961704e945bad4fb, 0x0b60dfe9eff473d4,
      0x76d3e7cf52c466cf, 0x75ec8cef767d3a0d, 0x82da3337b598fd6d, 0xfbd820da8dc8af8c,
  };
  EXPECT_EQ(key_of("0123456789abcdeffedcba9876543210").subkeys(), expected);
}

TEST(CsCipher, KeyTextIsCheckedBeforeItReplacesTheKey) {
  struct Case {
    std::string text;
    CsKeyResult result;
  } cases[] = {
      {"0123456789ABCDEFfedcba9876543210", CsKeyResult::ok},
      {"", CsKeyResult::ok},
      {"0123456789abcdef", CsKeyResult::ok},
      {"012", CsKeyResult::odd_digit_count},
      {"0123456789abcdeffedcba98765432100", CsKeyResult::key_too_long},
      {"0123456789abcdeffedcba987654321000", CsKeyResult::key_too_long},
      {"0g", CsKeyResult::bad_digit},
      {"01 2", CsKeyResult::bad_digit},
      {"0123456789abcdeffedcba98765432-1", CsKeyResult::bad_digit},
  };
  for (const auto& c : cases) {
    CsCipherKey key = key_of("00112233");
    auto before = key.subkeys();
    EXPECT_EQ(key.set_key_text(c.text), c.result) << c.text;
    if (c.result == CsKeyResult::ok) {
      EXPECT_EQ(key.subkeys(), key_of(c.text).subkeys()) << c.text;
    } else {
      EXPECT_EQ(key.subkeys(), before) << c.text;
    }
  }
}

TEST(CsCipher, KeyBytesArePaddedAndLongKeysRefused) {
  EXPECT_EQ(key_of("0123456789").subkeys(), key_of("01234567890000000000000000000000").subkeys());
  CsCipherKey key;
  EXPECT_EQ(key.subkeys(), key_of("").subkeys());
  EXPECT_EQ(key.set_key_bytes(Bytes(17, 1)), CsKeyResult::key_too_long);
  EXPECT_EQ(key.subkeys(), key_of("").subkeys());
}

TEST(CsCipher, CbcChainsAcrossPartsAndStartsLikeEcb) {
  std::mt19937 random(11);
  CsCipherKey key = key_of("000102030405060708090a0b0c0d0e0f");
  Bytes plain(8 * 29);
  for (auto& b : plain) b = static_cast<uint8_t>(random());
  const std::array<uint8_t, 8> iv = {9, 8, 7, 6, 5, 4, 3, 2};

  Bytes whole = plain;
  auto whole_chain = iv;
  ASSERT_TRUE(key.cbc_encrypt(whole, whole_chain));
  EXPECT_TRUE(std::equal(whole_chain.begin(), whole_chain.end(), whole.end() - 8));

  Bytes parts = plain;
  auto chain = iv;
  for (size_t at = 0; at < parts.size();) {
    size_t piece = std::min<size_t>(8 * (random() % 5), parts.size() - at);
    ASSERT_TRUE(key.cbc_encrypt(std::span(parts).subspan(at, piece), chain));
    at += piece;
  }
  EXPECT_EQ(parts, whole);
  chain = iv;
  ASSERT_TRUE(key.cbc_decrypt(parts, chain));
  EXPECT_EQ(parts, plain);

  Bytes first(plain.begin(), plain.begin() + 16);
  std::array<uint8_t, 8> zero{};
  ASSERT_TRUE(key.cbc_encrypt(first, zero));
  Bytes ecb(plain.begin(), plain.begin() + 8);
  key.encrypt_block(block_of(ecb));
  EXPECT_TRUE(std::equal(ecb.begin(), ecb.end(), first.begin()));

  Bytes odd(9, 0);
  EXPECT_FALSE(key.cbc_encrypt(odd, chain));
  EXPECT_FALSE(key.cbc_decrypt(odd, chain));
  EXPECT_EQ(odd, Bytes(9, 0));
}

}  // namespace
}  // namespace zyp::softtok
