// The same ZYPCIP calls over another PKCS #11 module, SoftHSM2, with a token
// initialised in the test's private folder. SoftHSM numbers its slots
// afresh, reports key sizes in its own way and keeps a digest running after
// CKR_BUFFER_TOO_SMALL; the provider's results must not change with that.
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dirs.h"
#include "provider/objects.h"
#include "provider_test.h"
#include "testsupport/test_env.h"

namespace zyp::prov {
namespace {

using testing::list_of;

constexpr char kModule[] = "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so";
constexpr char kUtility[] = "/usr/bin/softhsm2-util";
constexpr char kLabel[] = "zypprov";
constexpr char kPin[] = "1234";
constexpr uint8_t kVector[8] = {1, 2, 3, 4, 5, 6, 7, 8};

std::vector<uint8_t> sha1(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> digest(SHA_DIGEST_LENGTH);
  SHA1(data.data(), data.size(), digest.data());
  return digest;
}

std::vector<uint8_t> des3_cbc(const std::vector<uint8_t>& key, const std::vector<uint8_t>& plain) {
  std::vector<uint8_t> out(plain.size() + 8);
  int length = 0;
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(context, EVP_des_ede3_cbc(), nullptr, key.data(), kVector);
  EVP_CIPHER_CTX_set_padding(context, 0);
  EVP_EncryptUpdate(context, out.data(), &length, plain.data(), static_cast<int>(plain.size()));
  EVP_CIPHER_CTX_free(context);
  out.resize(length);
  return out;
}

std::string padded(const CK_UTF8CHAR* field, size_t size) {
  return std::string(without_trailing_blanks({reinterpret_cast<const char*>(field), size}));
}

class SoftHsm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kModule, R_OK) != 0 || ::access(kUtility, X_OK) != 0) GTEST_SKIP() << "SoftHSM2 is not installed";
    std::string folder = zyp::testing::make_temp_folder("softhsm");
    ASSERT_TRUE(platform::make_folders(folder + "/tokens"));
    std::ofstream(folder + "/softhsm2.conf") << "directories.tokendir = " << folder << "/tokens\n"
                                             << "objectstore.backend = file\nlog.level = ERROR\n";
    ::setenv("SOFTHSM2_CONF", (folder + "/softhsm2.conf").c_str(), 1);
    std::string command = std::string(kUtility) + " --init-token --free --label " + kLabel + " --pin " + kPin +
                          " --so-pin 5678 >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(testing::attach_with_module(kModule));
    token_ = token_labelled(kLabel);
    ASSERT_EQ(testing::login(token_, kPin), CKR_OK);
  }
  void TearDown() override { detach_process(); }

  // Slot numbers change when a token is initialised: the token is found by
  // its label among the listed tokens.
  uint32_t token_labelled(const std::string& label) {
    auto tokens = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumToken(list, n); });
    for (const ZYPCIPListEntry& entry : tokens) {
      CK_TOKEN_INFO info{};
      if (provider()->p11().C_GetTokenInfo(entry.value, &info) == CKR_OK &&
          padded(info.label, sizeof info.label) == label) {
        return entry.value;
      }
    }
    ADD_FAILURE() << "no token labelled " << label;
    return 0;
  }

  std::vector<uint8_t> key_value(uint32_t key_id) {
    Provider* p = provider();
    std::lock_guard guard(p->lock());
    std::vector<uint8_t> value(64);
    CK_ATTRIBUTE attribute{CKA_VALUE, value.data(), value.size()};
    EXPECT_EQ(p->p11().C_GetAttributeValue(record_of(*p, token_)->session, p->key_map().handle_of(key_id),
                                           &attribute, 1),
              CKR_OK);
    value.resize(attribute.ulValueLen == CK_UNAVAILABLE_INFORMATION ? 0 : attribute.ulValueLen);
    return value;
  }

  uint32_t key_count() {
    uint32_t count = 0;
    ZYPCIPEnumKey(token_, CKM_DES3_CBC, 1, nullptr, &count);
    return count;
  }

  uint32_t token_ = 0;
};

TEST_F(SoftHsm, SentenceKeyForTripleDesCryptsDecryptsAndIsDeleted) {
  auto tokens = list_of([](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumToken(list, n); });
  EXPECT_GE(tokens.size(), 2u) << "the token and a free slot";
  EXPECT_EQ(std::string(tokens[0].name).rfind("SoftHSM slot ID", 0), 0u) << tokens[0].name;
  auto ciphers = list_of([&](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumAlgorithm(token_, 1, list, n); });
  auto des3 = std::find_if(ciphers.begin(), ciphers.end(), [](auto& e) { return e.value == CKM_DES3_CBC; });
  ASSERT_NE(des3, ciphers.end());
  EXPECT_STREQ(des3->name, "Triple DES (168 bits)");

  uint32_t bits = 0, block = 0;
  EXPECT_EQ(ZYPCIPGetKeyFormat(token_, CKM_DES3_CBC, 1, &bits), 0);
  EXPECT_EQ(bits, 192u) << "SoftHSM reports no size for its DES3 key generation";
  EXPECT_EQ(ZYPCIPGetBlockSize(token_, CKM_DES3_CBC, &block), 0);
  EXPECT_EQ(block, 8u) << "SoftHSM reports key sizes, not block sizes";

  const std::string sentence = "a sentence for triple DES";
  uint32_t key_id = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(token_, CKM_DES3_CBC, 1, "hsm key", sentence.c_str(), &key_id), 0);
  std::vector<uint8_t> expected = sha1({sentence.begin(), sentence.end()});
  std::vector<uint8_t> tail = sha1(expected);
  expected.insert(expected.end(), tail.begin(), tail.begin() + 4);
  std::vector<uint8_t> value = key_value(key_id);
  EXPECT_EQ(value, expected);
  EXPECT_EQ(key_id, testing::expected_key_id(sha1(value)));
  auto keys = list_of([&](ZYPCIPListEntry* list, uint32_t* n) { return ZYPCIPEnumKey(token_, CKM_DES3_CBC, 1, list, n); });
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].value, key_id);
  EXPECT_STREQ(keys[0].name, "hsm key");

  std::vector<uint8_t> plain(32);
  for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> buffer = plain;
  uint32_t length = 32;
  ASSERT_EQ(ZYPCIPCryptBuffer(token_, CKM_DES3_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(buffer, des3_cbc(value, plain)) << "the fixed vector 01..08";
  ASSERT_EQ(ZYPCIPDecryptBuffer(token_, CKM_DES3_CBC, key_id, buffer.data(), &length), 0);
  EXPECT_EQ(buffer, plain);
  length = 12;
  EXPECT_EQ(ZYPCIPCryptBuffer(token_, CKM_DES3_CBC, key_id, buffer.data(), &length), 5);

  EXPECT_EQ(ZYPCIPDeleteKey(token_, key_id), 0);
  EXPECT_EQ(key_count(), 0u);
  EXPECT_EQ(ZYPCIPDeleteKey(token_, key_id), 8);
}

TEST_F(SoftHsm, RandomAndBinaryKeysAndTheirDuplicates) {
  uint32_t random_key = 0, bin_key = 0, duplicate = 0;
  EXPECT_EQ(ZYPCIPGenerateRandomKey(token_, CKM_DES3_CBC, 1, "random", &random_key), 0);
  std::vector<uint8_t> value(24, 0x3C);
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(token_, CKM_DES3_CBC, 1, "bin", value.data(), 24, &bin_key), 0);
  EXPECT_NE(random_key, bin_key);
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(token_, CKM_DES3_CBC, 1, "again", value.data(), 24, &duplicate), 19);
  EXPECT_EQ(key_count(), 2u);
  EXPECT_EQ(ZYPCIPGenerateKeyFromBin(token_, CKM_DES3_CBC, 1, "short", value.data(), 16, &duplicate), 6);
}

TEST_F(SoftHsm, LoginRegistersTheTokensKeysBesideAnEmptySlot) {
  uint32_t key_id = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(token_, CKM_DES3_CBC, 1, "stored", "stored sentence", &key_id), 0);
  ASSERT_EQ(ZYPCIPCloseSession(token_), 0);
  ASSERT_EQ(testing::login(token_, kPin), CKR_OK);
  std::vector<uint8_t> buffer(8);
  uint32_t length = 8;
  EXPECT_EQ(ZYPCIPCryptBuffer(token_, CKM_DES3_CBC, key_id, buffer.data(), &length), 0)
      << "registered by the login, not by a listing";
}

TEST_F(SoftHsm, ADigestTooLargeForItsBufferDoesNotBlockTheNext) {
  const uint8_t data[] = {'a', 'b', 'c'};
  uint8_t digest[20];
  uint32_t length = 10;
  EXPECT_EQ(ZYPCIPHashBuffer(token_, CKM_SHA_1, data, 3, digest, &length), 1);
  EXPECT_EQ(length, 20u);
  ASSERT_EQ(ZYPCIPHashBuffer(token_, CKM_SHA_1, data, 3, digest, &length), 0);
  EXPECT_EQ(std::vector<uint8_t>(digest, digest + 20), sha1({data, data + 3}));
}

TEST_F(SoftHsm, RecoveryKeysAreFoundAndFieldsRecovered) {
  ZYPRecoveryKeyRecord private_record;
  ZYPRecoveryPublicRecord public_record;
  ASSERT_EQ(ZYPCIPSetKeyRecoveryPublicKey(token_, 0, &private_record, &public_record), 0);
  EXPECT_EQ(ZYPCIPIsStrongCryptoEnabled(token_), 1) << "a 32-byte stored label matches the 19-byte name";
  EXPECT_EQ(public_record.publicExponent[127], 3);
  EXPECT_EQ(public_record.publicExponent[126], 0) << "components are right-aligned";

  uint32_t key_id = 0;
  ASSERT_EQ(ZYPCIPGenerateKeyFromSentence(token_, CKM_DES3_CBC, 1, "lost", "lost sentence", &key_id), 0);
  std::vector<uint8_t> field(128);
  uint32_t field_length = 128;
  ASSERT_EQ(ZYPCIPGetKeyRecoveryField(token_, key_id, 0, field.data(), &field_length), 0);
  ASSERT_EQ(ZYPCIPDeleteKey(token_, key_id), 0);
  ASSERT_EQ(ZYPCIPGenerateSessionKeyFromKeyRecoveryField(token_, CKM_DES3_CBC, field.data(), field_length, "found",
                                                         5, private_record),
            1);
  std::vector<uint8_t> buffer(8);
  uint32_t length = 8;
  EXPECT_EQ(ZYPCIPCryptBuffer(token_, CKM_DES3_CBC, key_id, buffer.data(), &length), 0);
}

}  // namespace
}  // namespace zyp::prov
