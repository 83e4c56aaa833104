// Objects: creation rules and layouts, access, reading and changing
// attributes, copying, destroying, and the search.
#include <algorithm>

#include "token/tests/softtok_test_util.h"

namespace {

using namespace softtok_test;

const Bytes kDesValue{1, 2, 3, 4, 5, 6, 7, 8};
const Bytes kTrue{1}, kFalse{0};

Bytes ulong_bytes(CK_ULONG value) {
  Bytes bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

Template data_object(std::string_view label) {
  Template t;
  t.ulong(CKA_CLASS, CKO_DATA).text(CKA_LABEL, label);
  return t;
}

class Objects : public TokenTest {
 protected:
  CK_RV try_create(CK_SESSION_HANDLE session, Template t) {
    CK_OBJECT_HANDLE object = 0;
    return p11->C_CreateObject(session, t.data(), t.size(), &object);
  }
  CK_RV set(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, Template t) {
    return p11->C_SetAttributeValue(session, object, t.data(), t.size());
  }
};

TEST_F(Objects, CreationChecksClassAndKeyType) {
  CK_SESSION_HANDLE session = logged_in_session();
  Template no_class, certificate, no_key_type, des_public_key, rsa_secret_key, short_des40, huge_class, four_byte_class;
  no_class.text(CKA_LABEL, "x");
  certificate.ulong(CKA_CLASS, CKO_CERTIFICATE);
  no_key_type.ulong(CKA_CLASS, CKO_SECRET_KEY).add(CKA_VALUE, kDesValue);
  des_public_key.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_KEY_TYPE, CKK_DES);
  rsa_secret_key.ulong(CKA_CLASS, CKO_SECRET_KEY).ulong(CKA_KEY_TYPE, CKK_RSA);
  short_des40 = secret_key(CKK_DES_40, {1, 2, 3});
  huge_class.ulong(CKA_CLASS, 0x100000000ull);
  four_byte_class.add(CKA_CLASS, {CKO_DATA, 0, 0, 0});
  struct Case {
    const char* name;
    Template* t;
    CK_RV rv;
  };
  const Case cases[] = {
      {"no class", &no_class, CKR_TEMPLATE_INCOMPLETE},
      {"certificate", &certificate, CKR_ATTRIBUTE_VALUE_INVALID},
      {"no key type", &no_key_type, CKR_TEMPLATE_INCOMPLETE},
      {"DES public key", &des_public_key, CKR_ATTRIBUTE_VALUE_INVALID},
      {"RSA secret key", &rsa_secret_key, CKR_ATTRIBUTE_VALUE_INVALID},
      {"3-byte 40-bit key", &short_des40, CKR_ATTRIBUTE_VALUE_INVALID},
      {"class beyond 32 bits", &huge_class, CKR_ATTRIBUTE_VALUE_INVALID},
      {"class in 4 bytes", &four_byte_class, CKR_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(try_create(session, *c.t), c.rv) << c.name;
  CK_ATTRIBUTE missing_value{CKA_LABEL, nullptr, 4};
  CK_OBJECT_HANDLE object = 0;
  EXPECT_EQ(p11->C_CreateObject(session, &missing_value, 1, &object), CKR_ARGUMENTS_BAD);
}

TEST_F(Objects, AccessDependsOnSessionState) {
  ASSERT_EQ(init_token(), CKR_OK);
  struct Case {
    bool read_write, logged_in, token, is_private;
    CK_RV rv;
  };
  const Case cases[] = {
      {false, false, true, false, CKR_SESSION_READ_ONLY},  {false, false, false, true, CKR_USER_NOT_LOGGED_IN},
      {true, false, false, true, CKR_USER_NOT_LOGGED_IN},  {false, true, true, false, CKR_SESSION_READ_ONLY},
      {false, true, false, true, CKR_OK},                  {true, true, true, true, CKR_OK},
      {true, false, true, false, CKR_OK},
  };
  for (const Case& c : cases) {
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(open(session, c.read_write), CKR_OK);
    if (c.logged_in) {
      ASSERT_EQ(login(session), CKR_OK);
    }
    Template t = data_object("x");
    t.flag(CKA_TOKEN, c.token).flag(CKA_PRIVATE, c.is_private);
    EXPECT_EQ(try_create(session, t), c.rv)
        << c.read_write << c.logged_in << c.token << c.is_private;
    ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  }
}

TEST_F(Objects, LayoutsDefaultsAndSizes) {
  CK_SESSION_HANDLE session = logged_in_session();
  Template key = secret_key(CKK_DES, kDesValue);
  key.flag(CKA_LOCAL, true).text(CKA_MODULUS, "dropped");
  CK_OBJECT_HANDLE secret = create(session, key);
  EXPECT_EQ(get(session, secret, CKA_CLASS), ulong_bytes(CKO_SECRET_KEY));
  EXPECT_EQ(get(session, secret, CKA_ENCRYPT), kTrue);
  EXPECT_EQ(get(session, secret, CKA_SENSITIVE), kFalse);
  EXPECT_EQ(get(session, secret, CKA_LOCAL), kFalse);
  EXPECT_EQ(get(session, secret, CKA_LABEL), Bytes{0});
  EXPECT_EQ(get(session, secret, CKA_START_DATE), Bytes(8, 0));
  EXPECT_EQ(get(session, secret, CKA_VALUE), kDesValue);
  Bytes ignored;
  EXPECT_EQ(get(session, secret, CKA_MODULUS, ignored), CKR_ATTRIBUTE_TYPE_INVALID);

  Template public_key, private_key;
  public_key.ulong(CKA_CLASS, CKO_PUBLIC_KEY).ulong(CKA_KEY_TYPE, CKK_RSA).ulong(CKA_MODULUS_BITS, 1024);
  private_key.ulong(CKA_CLASS, CKO_PRIVATE_KEY).ulong(CKA_KEY_TYPE, CKK_RSA);
  CK_OBJECT_HANDLE objects[] = {create(session, data_object("d")), create(session, public_key),
                                create(session, private_key), secret};
  const CK_ULONG sizes[] = {96, 240, 348, 276};
  for (size_t i = 0; i < 4; ++i) {
    CK_ULONG size = 0;
    ASSERT_EQ(p11->C_GetObjectSize(session, objects[i], &size), CKR_OK);
    EXPECT_EQ(size, sizes[i]);
  }
  EXPECT_EQ(get(session, objects[0], CKA_APPLICATION), Bytes{0});
  EXPECT_EQ(get(session, objects[1], CKA_MODULUS_BITS), ulong_bytes(1024));
  EXPECT_EQ(get(session, objects[2], CKA_NEVER_EXTRACTABLE), kTrue);
  CK_ULONG size = 0;
  EXPECT_EQ(p11->C_GetObjectSize(session, 999, &size), CKR_OBJECT_HANDLE_INVALID);

  CK_OBJECT_HANDLE des40 = create(session, secret_key(CKK_DES_40, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(get(session, des40, CKA_VALUE), Bytes(8, 0xF8));
}

TEST_F(Objects, ReadingProtectedShortAndMissingAttributes) {
  CK_SESSION_HANDLE session = logged_in_session();
  Template sensitive = secret_key(CKK_DES, kDesValue);
  sensitive.flag(CKA_SENSITIVE, true).text(CKA_LABEL, "secret");
  CK_OBJECT_HANDLE key = create(session, sensitive);
  Template unextractable = secret_key(CKK_DES, kDesValue);
  unextractable.flag(CKA_EXTRACTABLE, false);
  CK_OBJECT_HANDLE kept_in = create(session, unextractable);

  char label[16] = {};
  CK_BYTE value[8], tiny[2];
  CK_ATTRIBUTE query[] = {{CKA_VALUE, value, sizeof value}, {CKA_LABEL, label, sizeof label}};
  EXPECT_EQ(p11->C_GetAttributeValue(session, key, query, 2), CKR_ATTRIBUTE_SENSITIVE);
  EXPECT_EQ(query[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(query[1].ulValueLen, 6u);
  EXPECT_STREQ(label, "secret");
  Bytes ignored;
  EXPECT_EQ(get(session, kept_in, CKA_VALUE, ignored), CKR_ATTRIBUTE_SENSITIVE);

  CK_ATTRIBUTE short_and_missing[] = {{CKA_LABEL, tiny, sizeof tiny}, {CKA_MODULUS, nullptr, 0}};
  EXPECT_EQ(p11->C_GetAttributeValue(session, key, short_and_missing, 2), CKR_ATTRIBUTE_TYPE_INVALID);
  EXPECT_EQ(short_and_missing[0].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(short_and_missing[1].ulValueLen, CK_UNAVAILABLE_INFORMATION);
  EXPECT_EQ(p11->C_GetAttributeValue(session, 4242, query, 2), CKR_OBJECT_HANDLE_INVALID);
}

TEST_F(Objects, SetAttributeRules) {
  CK_SESSION_HANDLE session = logged_in_session();
  Template base = secret_key(CKK_DES, kDesValue);
  base.flag(CKA_EXTRACTABLE, false).flag(CKA_SENSITIVE, true);
  CK_OBJECT_HANDLE key = create(session, base);
  Template fixed = data_object("fixed");
  fixed.flag(CKA_MODIFIABLE, false);
  CK_OBJECT_HANDLE frozen = create(session, fixed);

  Template set_class, sign_recover, make_extractable, make_insensitive, long_label;
  set_class.ulong(CKA_CLASS, CKO_DATA);
  sign_recover.flag(CKA_SIGN_RECOVER, true);
  make_extractable.flag(CKA_EXTRACTABLE, true);
  make_insensitive.flag(CKA_SENSITIVE, false);
  long_label.text(CKA_LABEL, "a much longer label");
  struct Case {
    const char* name;
    CK_OBJECT_HANDLE object;
    Template* t;
    CK_RV rv;
  };
  const Case cases[] = {
      {"class", key, &set_class, CKR_ATTRIBUTE_READ_ONLY},
      {"sign recover", key, &sign_recover, CKR_ATTRIBUTE_READ_ONLY},
      {"extractable again", key, &make_extractable, CKR_ATTRIBUTE_READ_ONLY},
      {"sensitive no more", key, &make_insensitive, CKR_ATTRIBUTE_READ_ONLY},
      {"not modifiable", frozen, &long_label, CKR_TOKEN_WRITE_PROTECTED},
      {"unknown object", 4242, &long_label, CKR_OBJECT_HANDLE_INVALID},
      {"longer label", key, &long_label, CKR_OK},
  };
  for (const Case& c : cases) EXPECT_EQ(set(session, c.object, *c.t), c.rv) << c.name;
  EXPECT_EQ(get(session, key, CKA_LABEL), text_bytes("a much longer label"));

  CK_OBJECT_HANDLE plain = create(session, secret_key(CKK_DES, kDesValue));
  Template lock_in;
  lock_in.flag(CKA_EXTRACTABLE, false).flag(CKA_SENSITIVE, true);
  ASSERT_EQ(set(session, plain, lock_in), CKR_OK);
  EXPECT_EQ(get(session, plain, CKA_ALWAYS_SENSITIVE), kTrue);
  EXPECT_EQ(get(session, plain, CKA_NEVER_EXTRACTABLE), kFalse);

  CK_SESSION_HANDLE read_only = 0;
  ASSERT_EQ(p11->C_CloseSession(session), CKR_OK);
  ASSERT_EQ(open(read_only, false), CKR_OK);
  CK_OBJECT_HANDLE mine = create(read_only, data_object("ro"));
  Template to_token;
  to_token.flag(CKA_TOKEN, true);
  EXPECT_EQ(set(read_only, mine, to_token), CKR_SESSION_READ_ONLY);
}

TEST_F(Objects, CopyAndDestroy) {
  CK_SESSION_HANDLE session = logged_in_session();
  CK_OBJECT_HANDLE original = create(session, secret_key(CKK_DES_40, {0xFF, 0, 0xFF, 0, 0xFF}));
  Bytes value = get(session, original, CKA_VALUE);
  Template relabel, reclass;
  relabel.text(CKA_LABEL, "copy");
  reclass.ulong(CKA_CLASS, CKO_DATA);
  CK_OBJECT_HANDLE copy = 0;
  ASSERT_EQ(p11->C_CopyObject(session, original, relabel.data(), relabel.size(), &copy), CKR_OK);
  EXPECT_NE(copy, original);
  EXPECT_EQ(get(session, copy, CKA_LABEL), text_bytes("copy"));
  EXPECT_EQ(get(session, copy, CKA_VALUE), value);
  EXPECT_EQ(get(session, original, CKA_LABEL), Bytes{0});

  CK_OBJECT_HANDLE refused = 0;
  EXPECT_EQ(p11->C_CopyObject(session, original, reclass.data(), reclass.size(), &refused), CKR_ATTRIBUTE_READ_ONLY);
  EXPECT_EQ(p11->C_CopyObject(session, 4242, nullptr, 0, &refused), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(find(session, {}).size(), 2u);

  EXPECT_EQ(p11->C_DestroyObject(session, copy), CKR_OK);
  EXPECT_EQ(p11->C_DestroyObject(session, copy), CKR_OBJECT_HANDLE_INVALID);
  Bytes ignored;
  EXPECT_EQ(get(session, copy, CKA_LABEL, ignored), CKR_OBJECT_HANDLE_INVALID);
  EXPECT_EQ(find(session, {}), std::vector<CK_OBJECT_HANDLE>{original});
}

TEST_F(Objects, SearchMatchesPrefixesWithinTheSession) {
  ASSERT_EQ(init_token(), CKR_OK);
  CK_SESSION_HANDLE first = 0, second = 0;
  ASSERT_EQ(open(first, false), CKR_OK);
  ASSERT_EQ(open(second, true), CKR_OK);
  CK_OBJECT_HANDLE ab = create(first, data_object("ab"));
  CK_OBJECT_HANDLE abc = create(first, data_object("abc"));
  create(first, data_object("a"));
  Template sensitive = secret_key(CKK_DES, kDesValue);
  sensitive.flag(CKA_SENSITIVE, true);
  create(first, sensitive);
  create(second, data_object("ab"));

  Template by_label, by_class, by_value;
  by_label.text(CKA_LABEL, "ab");
  by_class.ulong(CKA_CLASS, CKO_DATA);
  by_value.add(CKA_VALUE, kDesValue);
  auto found = find(first, by_label);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<CK_OBJECT_HANDLE>{ab, abc}));
  EXPECT_EQ(find(first, by_class).size(), 3u);
  EXPECT_TRUE(find(first, by_value).empty());  // a sensitive value is never compared
  EXPECT_EQ(find(first, {}).size(), 4u);

  // One search per process: begun in one session, read and ended from another.
  CK_OBJECT_HANDLE handle = 0;
  CK_ULONG count = 0;
  EXPECT_EQ(p11->C_FindObjects(first, &handle, 1, &count), CKR_OPERATION_NOT_INITIALIZED);
  ASSERT_EQ(p11->C_FindObjectsInit(first, by_label.data(), by_label.size()), CKR_OK);
  for (CK_ULONG expected : {1, 1, 0}) {
    ASSERT_EQ(p11->C_FindObjects(second, &handle, 1, &count), CKR_OK);
    EXPECT_EQ(count, expected);
  }
  EXPECT_EQ(p11->C_FindObjectsFinal(second), CKR_OK);
  EXPECT_EQ(p11->C_FindObjectsFinal(first), CKR_OPERATION_NOT_INITIALIZED);

  ASSERT_EQ(p11->C_CloseSession(first), CKR_OK);
  EXPECT_EQ(find(second, {}).size(), 1u);
}

}  // namespace
