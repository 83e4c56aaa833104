// Key recovery fields: a recovery key pair per kind, fields that wrap a key
// under the recovery public key, and the recovery of a key from a field
// with the private half.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

#include "provider/calls.h"
#include "provider/key_creation.h"
#include "provider/mechanisms.h"
#include "provider/objects.h"
#include "provider/sessions.h"
#include "zyp/zypprov.h"

namespace zyp::prov {
namespace {

constexpr std::string_view kGovernmentLabel = "~INTERNALGOVKPUBSEQ";
constexpr std::string_view kCompanyLabel = "~INTERNALCOMKPUBSEQ";
// The label is stored in 32 bytes: the text, a zero byte and zero bytes.
constexpr size_t kStoredLabelLength = 32;
constexpr CK_ULONG kRecoveryBits = 1024;

std::string_view label_of(uint32_t kind) { return kind == 0 ? kGovernmentLabel : kCompanyLabel; }

// No usable session, no recovery key (none or several), or its handle.
struct RecoveryKey {
  bool session = false;
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
};

// The RSA public keys whose label begins with the kind's label. The label is
// compared here rather than by the token, since tokens differ in whether a
// search value of 19 bytes matches a stored label of 32.
RecoveryKey find_recovery_key(Provider& p, uint32_t token, uint32_t kind) {
  auto session = valid_session(p, token);
  if (!session) return {};
  CK_OBJECT_CLASS public_key = CKO_PUBLIC_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &public_key, sizeof public_key}, {CKA_KEY_TYPE, &rsa, sizeof rsa}};
  std::string_view wanted = label_of(kind);
  RecoveryKey found{true, CK_INVALID_HANDLE};
  int matches = 0;
  for (CK_OBJECT_HANDLE object : find_objects(p, *session, search)) {
    auto label = read_label(p, *session, object);
    if (label && label->starts_with(wanted)) {
      ++matches;
      found.handle = object;
    }
  }
  if (matches != 1) found.handle = CK_INVALID_HANDLE;
  return found;
}

// Reads big-endian components into fixed fields, right-aligned with leading
// zero bytes, whatever length the token gives them.
struct Component {
  CK_ATTRIBUTE_TYPE type;
  uint8_t* field;
  size_t size;
};

bool read_components(Provider& p, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                     std::span<const Component> components) {
  std::vector<CK_ATTRIBUTE> attributes;
  for (const Component& c : components) attributes.push_back({c.type, c.field, c.size});
  if (p.p11().C_GetAttributeValue(session, object, attributes.data(), attributes.size()) != CKR_OK) return false;
  for (size_t i = 0; i < components.size(); ++i) {
    size_t length = attributes[i].ulValueLen;
    if (length > components[i].size) return false;
    uint8_t* field = components[i].field;
    std::memmove(field + components[i].size - length, field, length);
    std::memset(field, 0, components[i].size - length);
  }
  return true;
}

int generate_recovery_pair(Provider& p, uint32_t token, uint32_t kind, ZYPRecoveryKeyRecord* private_record,
                           ZYPRecoveryPublicRecord* public_record) {
  auto session = valid_session(p, token);
  if (!session || !private_record || !public_record) return kTokenFailed;
  std::array<char, kStoredLabelLength> label{};
  std::ranges::copy(label_of(kind), label.begin());
  CK_OBJECT_CLASS public_class = CKO_PUBLIC_KEY, private_class = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ULONG bits = kRecoveryBits;
  CK_BYTE exponent = 3;
  CK_ATTRIBUTE public_template[] = {
      {CKA_CLASS, &public_class, sizeof public_class}, {CKA_TOKEN, &yes, 1},
      {CKA_LABEL, label.data(), label.size()},         {CKA_ENCRYPT, &no, 1},
      {CKA_KEY_TYPE, &rsa, sizeof rsa},                {CKA_VERIFY, &no, 1},
      {CKA_WRAP, &yes, 1},                             {CKA_MODULUS_BITS, &bits, sizeof bits},
      {CKA_PUBLIC_EXPONENT, &exponent, 1},
  };
  CK_ATTRIBUTE private_template[] = {
      {CKA_CLASS, &private_class, sizeof private_class}, {CKA_TOKEN, &no, 1},   {CKA_KEY_TYPE, &rsa, sizeof rsa},
      {CKA_PRIVATE, &yes, 1},                            {CKA_SENSITIVE, &no, 1}, {CKA_EXTRACTABLE, &yes, 1},
      {CKA_DECRYPT, &yes, 1},                            {CKA_SIGN, &yes, 1},   {CKA_UNWRAP, &yes, 1},
  };
  CK_MECHANISM generation{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE public_key = CK_INVALID_HANDLE, private_key = CK_INVALID_HANDLE;
  if (p.p11().C_GenerateKeyPair(*session, &generation, public_template, 9, private_template, 9, &public_key,
                                &private_key) != CKR_OK) {
    return kTokenFailed;
  }

  ZYPRecoveryPublicRecord pub{};
  ZYPRecoveryKeyRecord priv{};
  CK_ULONG modulus_bits = 0;
  CK_ATTRIBUTE bits_attribute{CKA_MODULUS_BITS, &modulus_bits, sizeof modulus_bits};
  const Component public_parts[] = {{CKA_MODULUS, pub.modulus, sizeof pub.modulus},
                                    {CKA_PUBLIC_EXPONENT, pub.publicExponent, sizeof pub.publicExponent}};
  const Component private_parts[] = {
      {CKA_MODULUS, priv.modulus, sizeof priv.modulus},
      {CKA_PUBLIC_EXPONENT, priv.publicExponent, sizeof priv.publicExponent},
      {CKA_PRIVATE_EXPONENT, priv.privateExponent, sizeof priv.privateExponent},
      {CKA_PRIME_1, priv.prime1, sizeof priv.prime1},
      {CKA_PRIME_2, priv.prime2, sizeof priv.prime2},
      {CKA_EXPONENT_1, priv.exponent1, sizeof priv.exponent1},
      {CKA_EXPONENT_2, priv.exponent2, sizeof priv.exponent2},
      {CKA_COEFFICIENT, priv.coefficient, sizeof priv.coefficient},
  };
  bool read = p.p11().C_GetAttributeValue(*session, public_key, &bits_attribute, 1) == CKR_OK &&
              read_components(p, *session, public_key, public_parts) &&
              read_components(p, *session, private_key, private_parts);
  // The private half lives on only in the caller's record; a public key
  // whose private half nobody holds would make fields nobody can open.
  p.p11().C_DestroyObject(*session, private_key);
  if (!read) {
    p.p11().C_DestroyObject(*session, public_key);
    explicit_bzero(&priv, sizeof priv);
    return kTokenFailed;
  }
  pub.modulusBits = priv.modulusBits = static_cast<uint16_t>(modulus_bits);
  *public_record = pub;
  *private_record = priv;
  explicit_bzero(&priv, sizeof priv);
  return kOk;
}

// Wraps the key under the recovery key into the field (a null field holds
// nothing): 0, 1 with the needed length, or 8.
int wrap_into_field(Provider& p, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE recovery_key, CK_OBJECT_HANDLE key,
                    uint8_t* field, uint32_t* field_length) {
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  uint8_t empty = 0;
  CK_ULONG length = field ? *field_length : 0;
  CK_RV rv = p.p11().C_WrapKey(session, &rsa, recovery_key, key, field ? field : &empty, &length);
  if (rv == CKR_OK || rv == CKR_BUFFER_TOO_SMALL) *field_length = static_cast<uint32_t>(length);
  if (rv == CKR_OK) return kOk;
  return rv == CKR_BUFFER_TOO_SMALL ? kTooSmall : kTokenFailed;
}

// No recovery key of the kind: the field is all zero bytes.
int zero_field(uint8_t* field, const uint32_t* field_length) {
  if (field) std::memset(field, 0, *field_length);
  return kOk;
}

int key_recovery_field(Provider& p, uint32_t token, uint32_t key_id, uint32_t kind, uint8_t* field,
                       uint32_t* field_length) {
  if (!field_length) return kTokenFailed;
  RecoveryKey recovery = find_recovery_key(p, token, kind);
  if (!recovery.session) return kTokenFailed;
  if (recovery.handle == CK_INVALID_HANDLE) return zero_field(field, field_length);
  CK_OBJECT_HANDLE key = p.key_map().handle_of(key_id);
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  return wrap_into_field(p, *session, recovery.handle, key, field, field_length);
}

int bin_key_recovery_field(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, const uint8_t* value,
                           uint32_t value_length, uint32_t kind, uint8_t* field, uint32_t* field_length) {
  if (!field_length) return kTokenFailed;
  RecoveryKey recovery = find_recovery_key(p, token, kind);
  if (!recovery.session) return kTokenFailed;
  if (recovery.handle == CK_INVALID_HANDLE) return zero_field(field, field_length);
  uint32_t bits = 0;
  if (key_format(p, token, mechanism, &bits) != kOk) return kTokenFailed;
  size_t length = bits / 8;
  if (!value || value_length < length) return kTokenFailed;
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;

  CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
  CK_KEY_TYPE key_type = key_kind(mechanism).key_type;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  char label[] = "session key";
  CK_ATTRIBUTE session_key[] = {
      {CKA_CLASS, &secret, sizeof secret}, {CKA_KEY_TYPE, &key_type, sizeof key_type},
      {CKA_TOKEN, &no, 1},                 {CKA_LABEL, label, sizeof label - 1},
      {CKA_ENCRYPT, &yes, 1},              {CKA_DECRYPT, &yes, 1},
      {CKA_SIGN, &no, 1},                  {CKA_VERIFY, &no, 1},
      {CKA_WRAP, &no, 1},                  {CKA_UNWRAP, &no, 1},
      {CKA_EXTRACTABLE, &yes, 1},          {CKA_VALUE, const_cast<uint8_t*>(value), length},
  };
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  if (p.p11().C_CreateObject(*session, session_key, 12, &key) != CKR_OK) return kTokenFailed;
  int result = wrap_into_field(p, *session, recovery.handle, key, field, field_length);
  p.p11().C_DestroyObject(*session, key);
  return result;
}

// The private half as a session object, from the record's fields.
CK_OBJECT_HANDLE create_recovery_private_key(Provider& p, CK_SESSION_HANDLE session, ZYPRecoveryKeyRecord& record) {
  CK_OBJECT_CLASS private_class = CKO_PRIVATE_KEY;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE key[] = {
      {CKA_CLASS, &private_class, sizeof private_class},
      {CKA_TOKEN, &no, 1},
      {CKA_KEY_TYPE, &rsa, sizeof rsa},
      {CKA_PRIVATE, &yes, 1},
      {CKA_SENSITIVE, &no, 1},
      {CKA_EXTRACTABLE, &yes, 1},
      {CKA_DECRYPT, &yes, 1},
      {CKA_SIGN, &yes, 1},
      {CKA_UNWRAP, &yes, 1},
      {CKA_MODULUS, record.modulus, sizeof record.modulus},
      {CKA_PUBLIC_EXPONENT, record.publicExponent, sizeof record.publicExponent},
      {CKA_PRIVATE_EXPONENT, record.privateExponent, sizeof record.privateExponent},
      {CKA_PRIME_1, record.prime1, sizeof record.prime1},
      {CKA_PRIME_2, record.prime2, sizeof record.prime2},
      {CKA_EXPONENT_1, record.exponent1, sizeof record.exponent1},
      {CKA_EXPONENT_2, record.exponent2, sizeof record.exponent2},
      {CKA_COEFFICIENT, record.coefficient, sizeof record.coefficient},
  };
  CK_OBJECT_HANDLE handle = CK_INVALID_HANDLE;
  if (p.p11().C_CreateObject(session, key, 17, &handle) != CKR_OK) return CK_INVALID_HANDLE;
  return handle;
}

int recover_session_key(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, const uint8_t* field,
                        uint32_t field_length, const char* label, uint32_t label_length,
                        ZYPRecoveryKeyRecord& record) {
  auto session = valid_session(p, token);
  if (!session) return 0;
  if ((!field && field_length != 0) || (!label && label_length != 0)) return 0;
  CK_OBJECT_HANDLE private_key = create_recovery_private_key(p, *session, record);
  if (private_key == CK_INVALID_HANDLE) return 0;

  CK_OBJECT_CLASS secret = CKO_SECRET_KEY;
  CK_KEY_TYPE key_type = key_kind(mechanism).key_type;
  CK_BBOOL yes = CK_TRUE, no = CK_FALSE;
  CK_ATTRIBUTE unwrapped[] = {
      {CKA_CLASS, &secret, sizeof secret},
      {CKA_KEY_TYPE, &key_type, sizeof key_type},
      {CKA_TOKEN, &no, 1},
      {CKA_LABEL, const_cast<char*>(label), label_length},
      {CKA_ENCRYPT, &yes, 1},
      {CKA_DECRYPT, &yes, 1},
      {CKA_SIGN, &no, 1},
      {CKA_VERIFY, &no, 1},
      {CKA_WRAP, &no, 1},
      {CKA_UNWRAP, &no, 1},
      {CKA_EXTRACTABLE, &yes, 1},
  };
  CK_MECHANISM rsa{CKM_RSA_PKCS, nullptr, 0};
  uint8_t empty = 0;
  CK_OBJECT_HANDLE key = CK_INVALID_HANDLE;
  CK_RV rv = p.p11().C_UnwrapKey(*session, &rsa, private_key, field ? const_cast<uint8_t*>(field) : &empty,
                                 field_length, unwrapped, 11, &key);
  p.p11().C_DestroyObject(*session, private_key);
  if (rv != CKR_OK) return 0;
  uint32_t key_id = 0;
  return register_new_key(p, token, *session, key, &key_id) == kOk ? 1 : 0;
}

}  // namespace
}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPIsStrongCryptoEnabled(uint32_t token) {
  return yes_no_call([&](Provider& p) { return find_recovery_key(p, token, 0).handle != CK_INVALID_HANDLE ? 1 : 0; });
}

ZYP_API int ZYPCIPIsCompanyKeyRecoveryActive(uint32_t token) {
  return yes_no_call([&](Provider& p) { return find_recovery_key(p, token, 1).handle != CK_INVALID_HANDLE ? 1 : 0; });
}

ZYP_API int ZYPCIPSetKeyRecoveryPublicKey(uint32_t token, uint32_t kind, ZYPRecoveryKeyRecord* privateRecord,
                                          ZYPRecoveryPublicRecord* publicRecord) {
  return token_call([&](Provider& p) { return generate_recovery_pair(p, token, kind, privateRecord, publicRecord); });
}

ZYP_API int ZYPCIPGetKeyRecoveryField(uint32_t token, uint32_t keyIdentifier, uint32_t kind, uint8_t* field,
                                      uint32_t* fieldLength) {
  return token_call([&](Provider& p) { return key_recovery_field(p, token, keyIdentifier, kind, field, fieldLength); });
}

ZYP_API int ZYPCIPGetBinKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* value,
                                         uint32_t valueLength, uint32_t kind, uint8_t* field,
                                         uint32_t* fieldLength) {
  return token_call([&](Provider& p) {
    return bin_key_recovery_field(p, token, mechanism, value, valueLength, kind, field, fieldLength);
  });
}

ZYP_API int ZYPCIPGenerateSessionKeyFromKeyRecoveryField(uint32_t token, uint32_t mechanism, const uint8_t* field,
                                                         uint32_t fieldLength, const char* label,
                                                         uint32_t labelLength, ZYPRecoveryKeyRecord record) {
  int result = yes_no_call([&](Provider& p) {
    return recover_session_key(p, token, mechanism, field, fieldLength, label, labelLength, record);
  });
  explicit_bzero(&record, sizeof record);
  return result;
}
