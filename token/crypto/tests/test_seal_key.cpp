#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "token/crypto/seal_key.h"
#include "token/crypto/store_hash.h"

namespace zyp::softtok {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr SealStrength kStrengths[] = {SealStrength::bits168, SealStrength::bits112, SealStrength::bits56,
                                       SealStrength::bits40};

StoreSealKey derive(std::string_view pin, SealStrength strength) {
  auto key = derive_store_seal_key(pin, strength);
  EXPECT_TRUE(key);
  return key ? *key : StoreSealKey{};
}

Bytes key_bytes(const StoreSealKey& key) { return Bytes(key.key().begin(), key.key().end()); }

TEST(StoreSealKey, StrengthsShareOneMaterial) {
  for (std::string pin : {"1234", "", "a much longer PIN with spaces and \xe9 accents"}) {
    SCOPED_TRACE(pin);
    StoreSealKey k168 = derive(pin, SealStrength::bits168);
    StoreSealKey k112 = derive(pin, SealStrength::bits112);
    StoreSealKey k56 = derive(pin, SealStrength::bits56);
    StoreSealKey k40 = derive(pin, SealStrength::bits40);
    ASSERT_EQ(k168.key().size(), 24u);
    ASSERT_EQ(k112.key().size(), 16u);
    ASSERT_EQ(k56.key().size(), 8u);
    ASSERT_EQ(k40.key().size(), 8u);

    Bytes full = key_bytes(k168);
    EXPECT_EQ(key_bytes(k112), Bytes(full.begin(), full.begin() + 16));
    EXPECT_EQ(key_bytes(k56), Bytes(full.begin(), full.begin() + 8));
    for (size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(k40.key()[i] & 0x07, 0) << i;
      EXPECT_EQ(k40.key()[i], full[i] & 0xF8) << i;
    }
    // The vector is material bytes 17..24: it overlaps the third key.
    EXPECT_TRUE(std::equal(full.begin() + 17, full.end(), k168.iv.begin()));
    for (const auto* other : {&k112, &k56, &k40}) EXPECT_EQ(other->iv, k168.iv);
  }
}

TEST(StoreSealKey, MaterialStartsWithTheHashOfPinAndPhrase) {
  std::string message = "1234Strongbox sealing key";
  StoreDigest b0 = StoreHash::of(Bytes(message.begin(), message.end()));
  StoreDigest b1 = StoreHash::of(std::span<const uint8_t>(b0.data(), 5));
  Bytes key = key_bytes(derive("1234", SealStrength::bits168));
  EXPECT_TRUE(std::equal(b0.begin(), b0.begin() + 5, key.begin()));
  EXPECT_TRUE(std::equal(b1.begin(), b1.begin() + 5, key.begin() + 5));
}

TEST(StoreSealKey, SamePinSameKeyOtherPinOtherKey) {
  for (SealStrength strength : kStrengths) {
    StoreSealKey key = derive("secret", strength);
    EXPECT_EQ(key_bytes(derive("secret", strength)), key_bytes(key));
    EXPECT_EQ(derive("secret", strength).iv, key.iv);
    for (std::string_view other : {"Secret", "secre", "secret ", ""}) {
      EXPECT_NE(key_bytes(derive(other, strength)), key_bytes(key)) << other;
      EXPECT_NE(derive(other, strength).iv, key.iv) << other;
    }
  }
}

TEST(StoreSealKey, PinEndsAtItsTerminatingZero) {
  EXPECT_EQ(key_bytes(derive(std::string_view("1234\0junk", 9), SealStrength::bits168)),
            key_bytes(derive("1234", SealStrength::bits168)));
}

TEST(StoreSealKey, UnknownStrengthIsRefused) {
  EXPECT_FALSE(derive_store_seal_key("1234", static_cast<SealStrength>(128)));
}

}  // namespace
}  // namespace zyp::softtok
