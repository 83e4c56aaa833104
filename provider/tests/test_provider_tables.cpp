// The provider's fixed rules, without a token: the key map's register
// rules, the key identifier's arithmetic, names and block lengths.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "provider/frame.h"
#include "provider/mechanisms.h"
#include "provider/objects.h"
#include "provider_test.h"

namespace zyp::prov {
namespace {

TEST(KeyMapRules, RegisteringAKnownIdentifierUpdatesItsEntryInPlace) {
  std::array<KeyMapEntry, 4> entries{{{11, 1}, {22, 2}, {33, 3}, {0, 0}}};
  KeyMap map(entries);
  EXPECT_TRUE(map.add(22, 9, 0));
  EXPECT_EQ(entries[1].handle, 9u);
  EXPECT_EQ(entries[3].key_id, 0u) << "no second entry for the same identifier";
  EXPECT_EQ(map.handle_of(22), 9u);
}

TEST(KeyMapRules, AFreeEntryBeforeTheKnownOneIsTakenFirst) {
  std::array<KeyMapEntry, 4> entries{{{11, 1}, {0, 0}, {22, 2}, {0, 0}}};
  KeyMap map(entries);
  EXPECT_TRUE(map.add(22, 9, 0));
  EXPECT_EQ(entries[1].key_id, 22u);
  EXPECT_EQ(entries[1].handle, 9u);
  EXPECT_EQ(entries[2].handle, 2u) << "the later entry stays as it was";
  EXPECT_EQ(map.handle_of(22), 9u) << "the first entry with the identifier answers";
  map.forget(22);
  EXPECT_EQ(map.handle_of(22), 2u) << "forget clears the first entry only";
}

TEST(KeyMapRules, AFullMapRefusesANewIdentifierButUpdatesAKnownOne) {
  std::vector<KeyMapEntry> entries(kKeyMapEntries);
  KeyMap map(entries);
  for (uint32_t id = 1; id <= kKeyMapEntries; ++id) ASSERT_TRUE(map.add(id, id + 100, 0));
  EXPECT_FALSE(map.add(kKeyMapEntries + 1, 7, 0)) << "the 1025th identifier";
  EXPECT_TRUE(map.add(5, 7, 0));
  EXPECT_EQ(map.handle_of(5), 7u);
  map.wipe();
  for (const KeyMapEntry& entry : entries) ASSERT_TRUE(entry.key_id == 0 && entry.handle == 0);
}

TEST(KeyMapRules, IdentifierZeroIsNotConfusedWithFreeEntries) {
  std::array<KeyMapEntry, 3> entries{};
  KeyMap map(entries);
  EXPECT_FALSE(map.holds(0));
  EXPECT_FALSE(map.add(0, CK_INVALID_HANDLE, 0)) << "handle 0 names no object";
  EXPECT_TRUE(map.add(0, 5, 0));
  EXPECT_TRUE(map.holds(0));
  EXPECT_EQ(map.handle_of(0), 5u);
}

// A closing session takes only its own token's handles; an entry whose
// owner is not known could be anybody's and goes too.
TEST(KeyMapRules, ForgettingATokenClearsOnlyItsEntriesAndThoseOfNoKnownOwner) {
  std::array<KeyMapEntry, 4> entries{{{11, 1}, {22, 2}, {33, 3}, {0, 0}}};
  std::array<KeyOwner, 4> owners{{{7, 1}, {0, 1}, {0, 0}, {0, 0}}};
  KeyMap map(entries, owners);
  map.forget_token(7);
  EXPECT_FALSE(map.holds(11));
  EXPECT_EQ(map.handle_of(22), 2u) << "token 0's key stays";
  EXPECT_FALSE(map.holds(33)) << "no known owner";
  EXPECT_TRUE(map.add(44, 4, 7));
  EXPECT_EQ(owners[0].token, 7u) << "the freed entry is taken with its owner";
  map.forget_token(0);
  EXPECT_EQ(map.handle_of(44), 4u);
  EXPECT_FALSE(map.holds(22));

  KeyMap without_owners(entries);
  without_owners.forget_token(5);
  EXPECT_FALSE(without_owners.holds(44)) << "no owners at all: every entry goes";
}

TEST(KeyIdentifier, SumsTheEleventhPowersOfTheSignedBytes) {
  struct Case {
    std::vector<uint8_t> digest;
    uint32_t expected;
  } cases[] = {
      {std::vector<uint8_t>(20, 0), 20},  // twenty times 0 + 1
      {{0x01}, 2},
      {{0xFF}, 0},                    // (-1)^11 + 1
      {{0x02}, 2049},
      {{0xFE}, 0xFFFFF801},           // -2048 + 1
      {{0x80}, 1},                    // (-128)^11 = -2^77, 0 modulo 2^32
      {{0x7F, 0x03}, 0x7492457Fu + 1 + 177147 + 1},  // 127^11 modulo 2^32, then 3^11
  };
  for (const Case& c : cases) {
    EXPECT_EQ(key_id_from_digest(c.digest), c.expected);
    EXPECT_EQ(key_id_from_digest(c.digest), testing::expected_key_id(c.digest));
  }
}

TEST(MechanismNames, TellingRowsAndUnknownMechanisms) {
  struct Case {
    CK_MECHANISM_TYPE type;
    const char* name;
  } cases[] = {
      {CKM_RSA_PKCS_KEY_PAIR_GEN, "RSA_PKCS_KEY_PAIR_GEN"},
      {CKM_DES_CBC, "DES 56 bits"},
      {CKM_DES3_CBC, "Triple DES (168 bits)"},
      {CKM_CAST5_KEY_GEN, "CAST5_KEY_GEN"},  // shares 0x320 with CAST128_KEY_GEN
      {CKM_CAST5_CBC_PAD, "CAST5_CBC_PAD"},
      {0x3A5, "PBE_SHA1_CAST5_CBC"},
      {CKM_FASTHASH, "FASTHASH"},
      {CKM_DES_40_CBC, "DES 40 bits"},
      {CKM_DES2_CBC, "Triple DES (112 bits)"},
      {0x80000200, "CS_CIPHER_MAC"},
      {CKM_AES_CBC, ""},
      {0x80000006, ""},
  };
  for (const Case& c : cases) EXPECT_STREQ(mechanism_name(c.type), c.name) << std::hex << c.type;
}

TEST(MechanismKinds, KeysOfKnownCiphersAndTheFallback) {
  KeyKind des3 = key_kind(CKM_DES3_CBC);
  EXPECT_EQ(des3.key_generation, CKM_DES3_KEY_GEN);
  EXPECT_EQ(des3.key_type, CKK_DES3);
  EXPECT_EQ(des3.object_class, CKO_SECRET_KEY);
  KeyKind des40 = key_kind(CKM_DES_40_CBC);
  EXPECT_EQ(des40.key_generation, CKM_DES_KEY_GEN_40);
  EXPECT_EQ(des40.key_type, CKK_DES_40);
  KeyKind other = key_kind(CKM_AES_CBC);
  EXPECT_EQ(other.key_generation, 3u);
  EXPECT_EQ(other.key_type, 3u);
  EXPECT_EQ(other.object_class, CKO_PRIVATE_KEY);
}

TEST(BlockLengths, StandardFamiliesAndUnknownMechanisms) {
  struct Case {
    CK_MECHANISM_TYPE type;
    std::optional<uint32_t> length;
  } cases[] = {
      {CKM_DES_ECB, 8},    {CKM_DES3_CBC, 8},    {CKM_DES3_CBC_PAD, 8}, {CKM_DES3_CMAC, 8},
      {CKM_RC2_MAC, 8},    {CKM_CAST_CBC, 8},    {CKM_CAST5_MAC, 8},    {CKM_IDEA_ECB, 8},
      {CKM_AES_ECB, 16},   {CKM_AES_CBC_PAD, 16}, {CKM_AES_CMAC, 16},
      {CKM_SHA_1, std::nullopt}, {CKM_RSA_PKCS, std::nullopt}, {CKM_DES_40_CBC, std::nullopt},
      {CKM_DES3_KEY_GEN, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(standard_block_length(c.type), c.length) << std::hex << c.type;
}

TEST(KeySizes, FixedLengthKeyGenerations) {
  EXPECT_EQ(fixed_key_bits(CKM_DES_KEY_GEN), 64u);
  EXPECT_EQ(fixed_key_bits(CKM_DES2_KEY_GEN), 128u);
  EXPECT_EQ(fixed_key_bits(CKM_DES3_KEY_GEN), 192u);
  EXPECT_EQ(fixed_key_bits(CKM_DES_KEY_GEN_40), std::nullopt) << "vendor sizes come from the module";
}

TEST(Names, ProtocolOnCharacters) {
  char buffer[8];
  uint32_t length = 3;
  EXPECT_EQ(give_name("abcd  ", buffer, &length), 1);
  EXPECT_EQ(length, 4u) << "the need, without the trailing blanks";
  EXPECT_EQ(give_name("abcd  ", buffer, &length), 0);
  EXPECT_STREQ(buffer, "abcd");
  length = 50;
  EXPECT_EQ(give_name("abcd", nullptr, &length), 1) << "a null buffer holds nothing";
  EXPECT_EQ(length, 4u);
}

}  // namespace
}  // namespace zyp::prov
