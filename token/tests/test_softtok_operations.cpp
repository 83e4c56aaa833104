// Cryptographic operations: ciphers in CBC with their length and buffer
// conventions, digests, key generation, RSA key pairs and key wrapping.
#include <openssl/bn.h>

#include <array>
#include <memory>

#include "token/crypto/des.h"
#include "token/tests/softtok_test_util.h"

namespace {

using namespace softtok_test;

const Bytes kIv{0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7};
const Bytes kDesValue{0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};

Bytes counting(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  return bytes;
}

using BnPtr = std::unique_ptr<BIGNUM, decltype(&BN_free)>;
BnPtr bn(const Bytes& bytes) { return BnPtr(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_free); }

class Operations : public TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    session = logged_in_session();
  }

  CK_MECHANISM cbc() { return {CKM_DES_40_CBC, const_cast<uint8_t*>(kIv.data()), kIv.size()}; }

  CK_RV encrypt_init(CK_OBJECT_HANDLE key) {
    CK_MECHANISM mechanism = cbc();
    return p11->C_EncryptInit(session, &mechanism, key);
  }

  CK_OBJECT_HANDLE des_key() { return create(session, secret_key(CKK_DES, kDesValue)); }

  CK_OBJECT_HANDLE generate_des40(Template t = {}) {
    CK_MECHANISM mechanism{CKM_DES_KEY_GEN_40, nullptr, 0};
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(p11->C_GenerateKey(session, &mechanism, t.data(), t.size(), &key), CKR_OK);
    return key;
  }

  CK_RV generate_pair(Template public_template, Template private_template, CK_OBJECT_HANDLE& public_key,
                      CK_OBJECT_HANDLE& private_key) {
    CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
    return p11->C_GenerateKeyPair(session, &mechanism, public_template.data(), public_template.size(),
                                  private_template.data(), private_template.size(), &public_key, &private_key);
  }

  static Template pair_request(CK_ULONG bits, Bytes exponent) {
    Template t;
    t.ulong(CKA_MODULUS_BITS, bits).add(CKA_PUBLIC_EXPONENT, std::move(exponent));
    return t;
  }

  CK_SESSION_HANDLE session = 0;
};

TEST_F(Operations, CipherInitChecksMechanismAndKey) {
  Template no_encrypt = secret_key(CKK_DES, kDesValue), no_value, long_des = secret_key(CKK_DES, counting(16));
  no_encrypt.flag(CKA_ENCRYPT, false);
  no_value.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_DES);
  CK_OBJECT_HANDLE good = des_key();
  CK_OBJECT_HANDLE refused = create(session, no_encrypt);
  CK_OBJECT_HANDLE triple = create(session, secret_key(CKK_DES3, counting(24)));
  CK_OBJECT_HANDLE valueless = create(session, no_value);
  CK_OBJECT_HANDLE wrong_size = create(session, long_des);
  CK_OBJECT_HANDLE data = create(session, Template().ulong(CKA_CLASS, CKO_DATA));
  CK_OBJECT_HANDLE rsa = create(session, Template().ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_KEY_TYPE, CKK_RSA));
  CK_OBJECT_HANDLE generated = generate_des40();
  CK_MECHANISM des_cbc{CKM_DES_CBC, const_cast<uint8_t*>(kIv.data()), 8};
  CK_MECHANISM sha{CKM_SHA_1, nullptr, 0};
  CK_MECHANISM no_iv{CKM_DES_40_CBC, nullptr, 0};
  CK_MECHANISM des40 = cbc();
  struct Case {
    const char* name;
    CK_MECHANISM* mechanism;
    CK_OBJECT_HANDLE key;
    CK_RV rv;
  };
  const Case cases[] = {
      {"DES-CBC is not listed", &des_cbc, good, CKR_MECHANISM_INVALID},
      {"SHA-1 is no cipher", &sha, good, CKR_MECHANISM_INVALID},
      {"unknown key", &des40, 4242, CKR_KEY_HANDLE_INVALID},
      {"key may not encrypt", &des40, refused, CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"data object", &des40, data, CKR_KEY_FUNCTION_NOT_PERMITTED},
      {"RSA key", &des40, rsa, CKR_MECHANISM_INVALID},
      {"no value", &des40, valueless, CKR_DEVICE_ERROR},
      {"16-byte DES key", &des40, wrong_size, CKR_KEY_SIZE_RANGE},
      {"triple DES key", &des40, triple, CKR_KEY_TYPE_INCONSISTENT},
      {"no initialisation vector", &no_iv, good, CKR_MECHANISM_PARAM_INVALID},
      {"DES key", &des40, good, CKR_OK},
      {"generated 40-bit key", &des40, generated, CKR_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(p11->C_EncryptInit(session, c.mechanism, c.key), c.rv) << c.name;
}

TEST_F(Operations, EncryptLengthsBuffersAndParts) {
  CK_OBJECT_HANDLE key = des_key();
  Bytes plain = counting(16), out(16);
  CK_ULONG length = out.size();
  EXPECT_EQ(p11->C_Encrypt(session, plain.data(), 16, out.data(), &length), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(encrypt_init(key), CKR_OK);
  EXPECT_EQ(p11->C_Encrypt(session, plain.data(), 12, out.data(), &length), CKR_DATA_LEN_RANGE);
  length = 8;
  EXPECT_EQ(p11->C_Encrypt(session, plain.data(), 16, out.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 16u);
  length = 0;
  EXPECT_EQ(p11->C_Encrypt(session, plain.data(), 16, nullptr, &length), CKR_OK);
  EXPECT_EQ(length, 16u);
  ASSERT_EQ(p11->C_Encrypt(session, plain.data(), 16, out.data(), &length), CKR_OK);
  EXPECT_EQ(plain, counting(16));  // the input stays as it was
  EXPECT_EQ(p11->C_EncryptFinal(session, nullptr, &length), CKR_OPERATION_NOT_INITIALIZED);

  auto des = zyp::softtok::DesKey::from_bytes(kDesValue);
  Bytes expected = plain;
  std::array<uint8_t, 8> chain;
  std::copy(kIv.begin(), kIv.end(), chain.begin());
  des->cbc_encrypt(expected, chain);
  EXPECT_EQ(out, expected);

  ASSERT_EQ(encrypt_init(key), CKR_OK);
  Bytes parts(16);
  for (size_t offset : {0, 8}) {
    length = 8;
    ASSERT_EQ(p11->C_EncryptUpdate(session, plain.data() + offset, 8, parts.data() + offset, &length), CKR_OK);
  }
  EXPECT_EQ(parts, out);
  length = 99;
  Bytes last(8);
  EXPECT_EQ(p11->C_EncryptFinal(session, last.data(), &length), CKR_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(p11->C_EncryptUpdate(session, plain.data(), 8, parts.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

  CK_MECHANISM mechanism = cbc();
  ASSERT_EQ(p11->C_DecryptInit(session, &mechanism, key), CKR_OK);
  length = out.size();
  ASSERT_EQ(p11->C_Decrypt(session, out.data(), out.size(), out.data(), &length), CKR_OK);  // in place
  EXPECT_EQ(out, plain);
}

TEST_F(Operations, Digest) {
  CK_MECHANISM sha{CKM_SHA_1, nullptr, 0}, des{CKM_DES_40_CBC, nullptr, 0};
  const Bytes abc_digest{0x1e, 0x61, 0xb2, 0x60, 0x10, 0xa8, 0x2d, 0x9e, 0xb0, 0x1e,
                         0x16, 0x89, 0x86, 0xed, 0x5a, 0x18, 0x80, 0x4c, 0x56, 0x4f};
  Bytes abc = text_bytes("abc"), digest(20);
  CK_ULONG length = 20;
  EXPECT_EQ(p11->C_DigestInit(session, &des), CKR_MECHANISM_INVALID);
  EXPECT_EQ(p11->C_DigestUpdate(session, abc.data(), 3), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(p11->C_DigestInit(session, &sha), CKR_OK);
  length = 0;
  EXPECT_EQ(p11->C_Digest(session, abc.data(), 3, nullptr, &length), CKR_OK);
  EXPECT_EQ(length, 20u);
  length = 19;
  EXPECT_EQ(p11->C_Digest(session, abc.data(), 3, digest.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 20u);
  ASSERT_EQ(p11->C_Digest(session, abc.data(), 3, digest.data(), &length), CKR_OK);
  EXPECT_EQ(digest, abc_digest);
  EXPECT_EQ(p11->C_DigestFinal(session, digest.data(), &length), CKR_OPERATION_NOT_INITIALIZED);

  CK_OBJECT_HANDLE key = create(session, secret_key(CKK_DES, abc));
  Template empty = secret_key(CKK_DES, {});
  CK_OBJECT_HANDLE empty_key = create(session, empty);
  ASSERT_EQ(p11->C_DigestInit(session, &sha), CKR_OK);
  EXPECT_EQ(p11->C_DigestKey(session, 4242), CKR_KEY_HANDLE_INVALID);
  EXPECT_EQ(p11->C_DigestKey(session, empty_key), CKR_DEVICE_ERROR);
  ASSERT_EQ(p11->C_DigestUpdate(session, abc.data(), 1), CKR_OK);
  ASSERT_EQ(p11->C_DigestUpdate(session, abc.data() + 1, 2), CKR_OK);
  ASSERT_EQ(p11->C_DigestFinal(session, digest.data(), &length), CKR_OK);
  EXPECT_EQ(digest, abc_digest);
  ASSERT_EQ(p11->C_DigestInit(session, &sha), CKR_OK);
  ASSERT_EQ(p11->C_DigestKey(session, key), CKR_OK);
  ASSERT_EQ(p11->C_DigestFinal(session, digest.data(), &length), CKR_OK);
  EXPECT_EQ(digest, abc_digest);
}

TEST_F(Operations, GeneratedKeysAndRandomData) {
  CK_MECHANISM des_gen{CKM_DES_KEY_GEN, nullptr, 0};
  CK_OBJECT_HANDLE key = 0;
  EXPECT_EQ(p11->C_GenerateKey(session, &des_gen, nullptr, 0, &key), CKR_MECHANISM_INVALID);
  Template labelled;
  labelled.text(CKA_LABEL, "generated").ulong(CKA_KEY_TYPE, CKK_DES3);
  CK_OBJECT_HANDLE first = generate_des40(labelled), second = generate_des40();
  EXPECT_EQ(as_ulong(get(session, first, CKA_KEY_TYPE)), CKK_DES_40);
  EXPECT_EQ(as_ulong(get(session, first, CKA_CLASS)), CKO_SECRET_KEY);
  EXPECT_EQ(get(session, first, CKA_LABEL), text_bytes("generated"));
  EXPECT_EQ(get(session, first, CKA_LOCAL), Bytes{0});
  Bytes value = get(session, first, CKA_VALUE);
  ASSERT_EQ(value.size(), 8u);
  for (uint8_t byte : value) EXPECT_EQ(byte & 7, 0);
  EXPECT_NE(value, get(session, second, CKA_VALUE));

  Bytes a(32), b(32);
  ASSERT_EQ(p11->C_SeedRandom(session, a.data(), 1), CKR_OK);
  ASSERT_EQ(p11->C_GenerateRandom(session, a.data(), a.size()), CKR_OK);
  ASSERT_EQ(p11->C_GenerateRandom(session, b.data(), b.size()), CKR_OK);
  EXPECT_NE(a, b);
  EXPECT_EQ(p11->C_GenerateRandom(session, nullptr, 4), CKR_ARGUMENTS_BAD);
}

TEST_F(Operations, KeyPairTemplates) {
  Template with_modulus = pair_request(1024, {3});
  with_modulus.add(CKA_MODULUS, Bytes(128, 1));
  Template no_exponent;
  no_exponent.ulong(CKA_MODULUS_BITS, 1024);
  Template private_with_prime;
  private_with_prime.add(CKA_PRIME_1, {5});
  Template dsa = pair_request(1024, {3});
  dsa.ulong(CKA_KEY_TYPE, CKK_DSA);
  struct Case {
    const char* name;
    Template public_template, private_template;
  };
  const Case cases[] = {
      {"512 bits", pair_request(512, {3}), {}},
      {"exponent 65537 asked", pair_request(1024, {1, 0, 1}), {}},
      {"modulus given", with_modulus, {}},
      {"no exponent", no_exponent, {}},
      {"private prime given", pair_request(1024, {3}), private_with_prime},
      {"not RSA", dsa, {}},
  };
  for (const Case& c : cases) {
    CK_OBJECT_HANDLE public_key = 0, private_key = 0;
    EXPECT_EQ(generate_pair(c.public_template, c.private_template, public_key, private_key),
              CKR_TEMPLATE_INCONSISTENT)
        << c.name;
  }
  EXPECT_TRUE(find(session, {}).empty());
}

TEST_F(Operations, KeyPairWrapAndUnwrap) {
  CK_OBJECT_HANDLE public_key = 0, private_key = 0;
  ASSERT_EQ(generate_pair(pair_request(1024, {3}), {}, public_key, private_key), CKR_OK);
  Bytes exponent(128, 0);
  exponent[125] = 1;
  exponent[127] = 1;
  EXPECT_EQ(get(session, public_key, CKA_PUBLIC_EXPONENT), exponent);
  Bytes modulus = get(session, public_key, CKA_MODULUS);
  ASSERT_EQ(modulus.size(), 128u);
  EXPECT_EQ(get(session, private_key, CKA_MODULUS), modulus);
  Bytes p = get(session, private_key, CKA_PRIME_1), q = get(session, private_key, CKA_PRIME_2);
  ASSERT_EQ(p.size(), 64u);
  ASSERT_EQ(q.size(), 64u);
  EXPECT_GT(p, q);
  std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> ctx(BN_CTX_new(), BN_CTX_free);
  BnPtr product(BN_new(), BN_free), check(BN_new(), BN_free);
  ASSERT_TRUE(BN_mul(product.get(), bn(p).get(), bn(q).get(), ctx.get()));
  EXPECT_EQ(BN_cmp(product.get(), bn(modulus).get()), 0);
  ASSERT_TRUE(BN_mod_mul(check.get(), bn(get(session, private_key, CKA_COEFFICIENT)).get(), bn(q).get(), bn(p).get(),
                         ctx.get()));
  EXPECT_TRUE(BN_is_one(check.get()));

  const Bytes value = counting(24);
  CK_OBJECT_HANDLE key = create(session, secret_key(CKK_DES3, value));
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  Bytes wrapped(128);
  CK_ULONG length = 0;
  ASSERT_EQ(p11->C_WrapKey(session, &rsa, public_key, key, nullptr, &length), CKR_OK);
  EXPECT_EQ(length, 128u);
  length = 127;
  EXPECT_EQ(p11->C_WrapKey(session, &rsa, public_key, key, wrapped.data(), &length), CKR_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, 128u);
  ASSERT_EQ(p11->C_WrapKey(session, &rsa, public_key, key, wrapped.data(), &length), CKR_OK);

  // The block under the private exponent: 00 02, non-zero padding, 00, value.
  BnPtr block(BN_new(), BN_free);
  ASSERT_TRUE(BN_mod_exp(block.get(), bn(wrapped).get(), bn(get(session, private_key, CKA_PRIVATE_EXPONENT)).get(),
                         bn(modulus).get(), ctx.get()));
  Bytes plain(128);
  ASSERT_EQ(BN_bn2binpad(block.get(), plain.data(), 128), 128);
  EXPECT_EQ(plain[0], 0);
  EXPECT_EQ(plain[1], 2);
  EXPECT_EQ(std::count(plain.begin() + 2, plain.begin() + 103, 0), 0);
  EXPECT_EQ(plain[103], 0);
  EXPECT_EQ(Bytes(plain.begin() + 104, plain.end()), value);

  Template unwrapped;
  unwrapped.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_DES3).add(CKA_VALUE, {9});
  CK_OBJECT_HANDLE copy = 0;
  ASSERT_EQ(p11->C_UnwrapKey(session, &rsa, private_key, wrapped.data(), 128, unwrapped.data(), unwrapped.size(),
                             &copy),
            CKR_OK);
  EXPECT_EQ(get(session, copy, CKA_VALUE), value);

  Bytes again(128);
  ASSERT_EQ(p11->C_WrapKey(session, &rsa, public_key, key, again.data(), &length), CKR_OK);
  EXPECT_NE(again, wrapped);  // fresh random padding
  wrapped[127] ^= 1;
  EXPECT_EQ(p11->C_UnwrapKey(session, &rsa, private_key, wrapped.data(), 128, unwrapped.data(), unwrapped.size(),
                             &copy),
            CKR_FUNCTION_FAILED);
  EXPECT_EQ(p11->C_UnwrapKey(session, &rsa, public_key, again.data(), 128, unwrapped.data(), unwrapped.size(), &copy),
            CKR_WRAPPING_KEY_TYPE_INCONSISTENT);
  EXPECT_EQ(p11->C_WrapKey(session, &rsa, private_key, key, again.data(), &length),
            CKR_WRAPPING_KEY_TYPE_INCONSISTENT);
  Template locked = secret_key(CKK_DES3, value);
  locked.flag(CKA_EXTRACTABLE, false);
  EXPECT_EQ(p11->C_WrapKey(session, &rsa, public_key, create(session, locked), again.data(), &length),
            CKR_KEY_FUNCTION_NOT_PERMITTED);
  CK_MECHANISM des{CKM_DES_40_CBC, nullptr, 0};
  EXPECT_EQ(p11->C_WrapKey(session, &des, public_key, key, again.data(), &length), CKR_MECHANISM_INVALID);
}

}  // namespace
