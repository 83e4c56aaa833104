// The ZYPCIP calls over the real software token module, in the private
// profile of the test program (its key store lives in the private machine
// folder).
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "provider_test.h"
#include "token/crypto/des.h"
#include "token/crypto/store_hash.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

using testing::list_of;
using testing::used_key_map_entries;

constexpr uint32_t kToken = 0;  // the key store in the data folder
constexpr char kPin[] = "1234";

std::vector<uint8_t> bytes_of(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> store_hash(std::span<const uint8_t> data) {
  auto digest = softtok::StoreHash::of(data);
  return {digest.begin(), digest.end()};
}

// The CKA_VALUE of a registered key, read from the module directly.
std::vector<uint8_t> key_value(uint32_t key_id) {
  Provider* p = provider();
  std::lock_guard guard(p->lock());
  CK_OBJECT_HANDLE key = p->key_map().handle_of(key_id);
  CK_SESSION_HANDLE session = record_of(*p, kToken)->session;
  std::vector<uint8_t> value(64);
  CK_ATTRIBUTE attribute{CKA_VALUE, value.data(), value.size()};
  EXPECT_EQ(p->p11().C_GetAttributeValue(session, key, &attribute, 1), CKR_OK);
  value.resize(attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : attribute.ulValueLen);
  return value;
}

uint32_t key_count(CK_MECHANISM_TYPE mechanism) {
  uint32_t count = 0;
  int result = ZYPCIPEnumKey(kToken, mechanism, 1, nullptr, &count);
  EXPECT_TRUE(result == 0 || result == 1);
  return count;
}

class Softtok : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(testing::attach_with_module(SOFTTOK_MODULE));
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    std::memcpy(label, "Password token", 14);
    ASSERT_EQ(provider()->p11().C_InitToken(kToken, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kPin)), 4, label),
              CKR_OK);
    ASSERT_EQ(testing::login(kToken, kPin), CKR_OK);
  }
  void TearDown() override { detach_process(); }

  uint32_t sentence_key(const char* sentence, const char* label = "sentence key") {
    uint32_t key_id = 0;
    EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, label, sentence, &key_id), 0);
    return key_id;
  }

  void log_in_again() {
    ASSERT_EQ(ZYPCIPCloseSession(kToken), 0);
    ASSERT_EQ(testing::login(kToken, kPin), CKR_OK);
  }
};

TEST_F(Softtok, ListsFollowTheCountThenFillProtocol) {
  uint32_t count = 0;
  EXPECT_EQ(ZYPCIPEnumToken(nullptr, &count), 1);
  EXPECT_GE(count, 1u);
  auto tokens = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumToken(list, n); });
  ASSERT_FALSE(tokens.empty());
  EXPECT_EQ(tokens[0].value, kToken);
  EXPECT_STREQ(tokens[0].name, "File");

  auto ciphers = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumAlgorithm(kToken, 1, list, n); });
  ASSERT_EQ(ciphers.size(), 1u);
  EXPECT_EQ(ciphers[0].value, CKM_DES_40_CBC);
  EXPECT_STREQ(ciphers[0].name, "DES 40 bits");
  auto digests = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumAlgorithm(kToken, 3, list, n); });
  ASSERT_EQ(digests.size(), 1u);
  EXPECT_STREQ(digests[0].name, "SHA_1");
  count = 0;
  EXPECT_EQ(ZYPCIPEnumAlgorithm(kToken, 2, nullptr, &count), 0) << "nothing to list fits a capacity of 0";
  EXPECT_EQ(count, 0u);

  uint32_t key_id = sentence_key("listed sentence", "listed  ");
  auto keys = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumKey(kToken, CKM_DES_40_CBC, 1, list, n); });
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].value, key_id);
  EXPECT_STREQ(keys[0].name, "listed") << "trailing blanks removed";
  char name[16];
  uint32_t length = sizeof name - 1;
  EXPECT_EQ(ZYPCIPGetKeyName(kToken, key_id, name, &length), 0);
  EXPECT_STREQ(name, "listed");
  length = sizeof name - 1;
  EXPECT_EQ(ZYPCIPGetTokenName(kToken, name, &length), 0);
  EXPECT_STREQ(name, "File");
  length = sizeof name - 1;
  EXPECT_EQ(ZYPCIPGetAlgoName(kToken, CKM_DES_40_CBC, name, &length), 0);
  EXPECT_STREQ(name, "DES 40 bits");
}

TEST_F(Softtok, ASentenceKeyIsTheSpreadDigestAndItsIdentifierTheFormula) {
  const char sentence[] = "a sentence for forty bits";
  uint32_t key_id = sentence_key(sentence);
  auto digest = store_hash(bytes_of(sentence));
  std::array<uint8_t, 5> bits;
  std::copy_n(digest.begin(), 5, bits.begin());
  auto spread = softtok::spread_des40_key(bits);
  std::vector<uint8_t> value = key_value(key_id);
  EXPECT_EQ(value, std::vector<uint8_t>(spread.begin(), spread.end()));
  EXPECT_EQ(key_id, testing::expected_key_id(store_hash(value)));

  log_in_again();
  EXPECT_EQ(key_value(key_id), value) << "the stored key is registered under the same identifier at the next login";
}

TEST_F(Softtok, KeysWithTheSameValueCannotBothExist) {
  const uint8_t value[5] = {0x10, 0x20, 0x30, 0x40, 0x50};
  uint32_t first = 0, second = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromBin(kToken, CKM_DES_40_CBC, 1, "first", value, sizeof value, &first), 0);
  EXPECT_EQ(key_count(CKM_DES_40_CBC), 1u);
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(kToken, CKM_DES_40_CBC, 1, "second", value, sizeof value, &second), 19);
  EXPECT_EQ(key_count(CKM_DES_40_CBC), 1u) << "the second object is destroyed again";
  log_in_again();
  EXPECT_EQ(key_count(CKM_DES_40_CBC), 1u) << "and the first stays stored";
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(kToken, CKM_DES_40_CBC, 1, "short", value, 4, &second), 6);
}

TEST_F(Softtok, DeletingAnUnknownIdentifierFailsAndLeavesTheMap) {
  uint32_t key_id = sentence_key("kept");
  auto before = used_key_map_entries();
  EXPECT_EQ(ZYPCIPDeleteKey(kToken, key_id ^ 1), 8);
  auto after = used_key_map_entries();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin(), [](const KeyMapEntry& a, const KeyMapEntry& b) {
    return a.key_id == b.key_id && a.handle == b.handle;
  }));
  EXPECT_EQ(ZYPCIPDeleteKey(kToken, key_id), 0);
  EXPECT_EQ(key_count(CKM_DES_40_CBC), 0u);
  EXPECT_EQ(ZYPCIPDeleteKey(kToken, key_id), 8) << "forgotten";
}

TEST_F(Softtok, EncryptionInPlaceIsUndoneByDecryption) {
  uint32_t key_id = sentence_key("cipher key");
  std::vector<uint8_t> plain(24);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> buffer = plain;
  uint32_t length = static_cast<uint32_t>(buffer.size());
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(length, 24u);
  EXPECT_NE(buffer, plain);
  std::vector<uint8_t> cipher = buffer;
  ASSERT_EQ(ZYPCIPDecryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(buffer, plain);

  length = 12;
  EXPECT_EQ(ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 5);
  EXPECT_EQ(buffer, plain) << "refused before the token";
  length = 0;
  EXPECT_EQ(ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  uint32_t block = 0;
  EXPECT_EQ(ZYPCIPGetBlockSize(kToken, CKM_DES_40_CBC, &block), 0);
  EXPECT_EQ(block, 8u);
  EXPECT_EQ(ZYPCIPGetBlockSize(kToken, CKM_SHA_1, &block), 0);
  EXPECT_EQ(block, 1u);

  buffer = plain;
  length = 24;
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(buffer, cipher) << "every encryption starts from the same vector";
}

TEST_F(Softtok, HashBufferGivesTheTokensDigestOrTheNeededLength) {
  const uint8_t data[] = {'a', 'b', 'c'};
  uint8_t digest[32];
  uint32_t length = 19;
  EXPECT_EQ(ZYPCIPHashBuffer(kToken, CKM_SHA_1, data, sizeof data, digest, &length), 1);
  length = sizeof digest;
  ASSERT_EQ(ZYPCIPHashBuffer(kToken, CKM_SHA_1, data, sizeof data, digest, &length), 0);
  ASSERT_EQ(length, 20u);
  EXPECT_EQ(std::vector<uint8_t>(digest, digest + 20), store_hash(data));
}

TEST_F(Softtok, KeySizesComeFromTheKeyGeneration) {
  uint32_t bits = 0;
  EXPECT_EQ(ZYPCIPGetKeyFormat(kToken, CKM_DES_40_CBC, 1, &bits), 0);
  EXPECT_EQ(bits, 40u);
  EXPECT_EQ(ZYPCIPGetKeyFormat(kToken, CKM_AES_CBC, 1, &bits), 8) << "no key generation known";
  uint32_t key_id = 0;
  const uint8_t value[8] = {};
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(kToken, CKM_AES_CBC, 1, "x", value, sizeof value, &key_id), 6);
  EXPECT_EQ(ZYPCIPGenerateKeyFromSentence(kToken, CKM_AES_CBC, 1, "x", "sentence", &key_id), 8);
  EXPECT_EQ(ZYPCIPGenerateRandomKey(kToken, CKM_DES_40_CBC, 3, "x", &key_id), 10);
}

TEST_F(Softtok, ARecoveredKeyDecryptsWhatTheDeletedKeyEncrypted) {
  ZYPRecoveryKeyRecord private_record;
  ZYPRecoveryPublicRecord public_record;
  EXPECT_EQ(ZYPCIPIsStrongCryptoEnabled(kToken), 0);
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 0, &private_record, &public_record), 0);
  EXPECT_EQ(private_record.modulusBits, 1024);
  EXPECT_EQ(public_record.modulusBits, 1024);
  EXPECT_EQ(0, std::memcmp(private_record.modulus, public_record.modulus, 128));
  EXPECT_EQ(ZYPCIPIsStrongCryptoEnabled(kToken), 1);
  EXPECT_EQ(ZYPCIPIsCompanyKeyRecoveryActive(kToken), 0);

  uint32_t key_id = sentence_key("recoverable");
  std::vector<uint8_t> plain(16, 0x5A), buffer = plain;
  uint32_t length = 16;
  ASSERT_EQ(ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  std::vector<uint8_t> field(128);
  uint32_t field_length = 127;
  EXPECT_EQ(ZYPCIPGetKeyRecoveryField(kToken, key_id, 0, field.data(), &field_length), 1);
  EXPECT_EQ(field_length, 128u);
  ASSERT_EQ(ZYPCIPGetKeyRecoveryField(kToken, key_id, 0, field.data(), &field_length), 0);
  EXPECT_NE(field, std::vector<uint8_t>(128, 0));

  ASSERT_EQ(ZYPCIPDeleteKey(kToken, key_id), 0);
  log_in_again();
  EXPECT_EQ(ZYPCIPDecryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 8) << "no such key";
  ASSERT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, CKM_DES_40_CBC, field.data(), field_length,
                                                         "recovered", 9, private_record),
            1);
  ASSERT_EQ(ZYPCIPDecryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(buffer, plain);
  EXPECT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, CKM_DES_40_CBC, field.data(), field_length,
                                                         "again", 5, private_record),
            0)
      << "its identifier is registered already";
}

TEST_F(Softtok, FieldsOfABinaryValueUnwrapToTheSameKey) {
  ZYPRecoveryKeyRecord private_record;
  ZYPRecoveryPublicRecord public_record;
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 1, &private_record, &public_record), 0);
  EXPECT_EQ(ZYPCIPIsCompanyKeyRecoveryActive(kToken), 1);
  const uint8_t value[5] = {1, 2, 3, 4, 5};
  std::vector<uint8_t> field(128);
  uint32_t field_length = 128;
  ASSERT_EQ(ZYPCIPGetBinKeyRecoveryField(kToken, CKM_DES_40_CBC, value, sizeof value, 1, field.data(), &field_length), 0);
  ASSERT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, CKM_DES_40_CBC, field.data(), field_length, "bin", 3,
                                                         private_record),
            1);
  uint32_t key_id = 0;
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(kToken, CKM_DES_40_CBC, 1, "same", value, sizeof value, &key_id), 19)
      << "the recovered key carries the value's identifier";
}

TEST_F(Softtok, WithoutARecoveryKeyFieldsAreZeroFilled) {
  uint32_t key_id = sentence_key("no recovery");
  const uint8_t value[5] = {1, 2, 3, 4, 5};
  for (uint32_t kind : {0u, 1u}) {
    std::vector<uint8_t> field(100, 0xAA);
    uint32_t field_length = 100;
    EXPECT_EQ(ZYPCIPGetKeyRecoveryField(kToken, key_id, kind, field.data(), &field_length), 0);
    EXPECT_EQ(field, std::vector<uint8_t>(100, 0));
    field.assign(100, 0xAA);
    EXPECT_EQ(ZYPCIPGetBinKeyRecoveryField(kToken, CKM_DES_40_CBC, value, 5, kind, field.data(), &field_length), 0);
    EXPECT_EQ(field, std::vector<uint8_t>(100, 0));
    EXPECT_EQ(field_length, 100u);
  }
}

TEST_F(Softtok, TwoRecoveryKeysOfOneKindCountAsNone) {
  ZYPRecoveryKeyRecord private_record;
  ZYPRecoveryPublicRecord public_record;
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 1, &private_record, &public_record), 0);
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(kToken, 7, &private_record, &public_record), 0) << "any nonzero kind";
  EXPECT_EQ(ZYPCIPIsCompanyKeyRecoveryActive(kToken), 0);
  uint32_t key_id = sentence_key("two recovery keys");
  std::vector<uint8_t> field(128, 0xAA);
  uint32_t field_length = 128;
  EXPECT_EQ(ZYPCIPGetKeyRecoveryField(kToken, key_id, 1, field.data(), &field_length), 0);
  EXPECT_EQ(field, std::vector<uint8_t>(128, 0));
}

// Bad arguments get a result code, never a crash (see the sanitizer build).
TEST_F(Softtok, BadInputGetsResultCodesNeverACrash) {
  uint32_t key_id = sentence_key("bad input");
  uint32_t count = 5, length = 5, bits = 0, out = 0;
  uint8_t buffer[16] = {};
  std::string long_label(256, 'L');
  char name[4];
  struct Case {
    const char* what;
    int result;
    int expected;
  } cases[] = {
      {"null token list with a capacity", ZYPCIPEnumToken(nullptr, &count), 1},
      {"null algorithm list with a capacity", ZYPCIPEnumAlgorithm(kToken, 1, nullptr, &(count = 5)), 1},
      {"null key list with a capacity", ZYPCIPEnumKey(kToken, CKM_DES_40_CBC, 1, nullptr, &(count = 5)), 1},
      {"null count", ZYPCIPEnumToken(nullptr, nullptr), 8},
      {"null name buffer with a capacity", ZYPCIPGetTokenName(kToken, nullptr, &(length = 50)), 1},
      {"name longer than its buffer", ZYPCIPGetKeyName(kToken, key_id, name, &(length = 3)), 1},
      {"null name length", ZYPCIPGetAlgoName(kToken, CKM_DES_40_CBC, name, nullptr), 8},
      {"unknown key name", ZYPCIPGetKeyName(kToken, key_id + 1, name, &(length = 3)), 17},
      {"unknown token", ZYPCIPGetTokenName(77, name, &(length = 3)), 8},
      {"unknown mechanism block size", ZYPCIPGetBlockSize(kToken, 0x12345, &bits), 8},
      {"unknown mechanism key format", ZYPCIPGetKeyFormat(kToken, 0x12345, 1, &bits), 8},
      {"null bits", ZYPCIPGetKeyFormat(kToken, CKM_DES_40_CBC, 1, nullptr), 8},
      {"unknown mechanism crypt", ZYPCIPCryptBuffer(kToken, 0x12345, key_id, buffer, &(length = 8)), 8},
      {"null buffer with a length", ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, nullptr, &(length = 8)), 8},
      {"null buffer, length 0", ZYPCIPDecryptBuffer(kToken, CKM_DES_40_CBC, key_id, nullptr, &(length = 0)), 0},
      {"null length", ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id, buffer, nullptr), 8},
      {"unknown key crypt", ZYPCIPCryptBuffer(kToken, CKM_DES_40_CBC, key_id + 1, buffer, &(length = 8)), 8},
      {"null data to hash", ZYPCIPHashBuffer(kToken, CKM_SHA_1, nullptr, 3, buffer, &(length = 16)), 8},
      {"null digest buffer", ZYPCIPHashBuffer(kToken, CKM_SHA_1, buffer, 3, nullptr, &(length = 64)), 1},
      {"unknown digest mechanism", ZYPCIPHashBuffer(kToken, CKM_MD5, buffer, 3, buffer, &(length = 16)), 8},
      {"sign 12 bytes", ZYPCIPSignBuffer(kToken, CKM_DES_40_CBC, key_id, buffer, 12, buffer, &(length = 16)), 5},
      {"null signature", ZYPCIPVerifyBuffer(kToken, CKM_DES_40_CBC, key_id, buffer, 8, nullptr, 8), 8},
      {"label of 256 bytes", ZYPCIPGenerateRandomKey(kToken, CKM_DES_40_CBC, 1, long_label.c_str(), &out), 8},
      {"null label", ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, nullptr, "s", &out), 8},
      {"null sentence", ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, "l", nullptr, &out), 8},
      {"null identifier output", ZYPCIPGenerateKeyFromSentence(kToken, CKM_DES_40_CBC, 1, "l", "s", nullptr), 8},
      {"null value", ZYPCIPGenerateKeyFromBin(kToken, CKM_DES_40_CBC, 1, "l", nullptr, 5, &out), 8},
      {"null records", ZYPCIPSetKeyRecoveryPublicKey(kToken, 0, nullptr, nullptr), 8},
      {"null field length", ZYPCIPGetKeyRecoveryField(kToken, key_id, 0, buffer, nullptr), 8},
      {"no session", ZYPCIPEnumKey(1, CKM_DES_40_CBC, 1, nullptr, &(count = 0)), 8},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
  EXPECT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, CKM_DES_40_CBC, nullptr, 128, "l", 1,
                                                         ZYPRecoveryKeyRecord{}),
            0);
  EXPECT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(kToken, CKM_DES_40_CBC, buffer, 16, "l", 1,
                                                         ZYPRecoveryKeyRecord{}),
            0)
      << "a record of zeros makes no key";
}

}  // namespace
}  // namespace zyp::prov
