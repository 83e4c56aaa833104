#include "token/objects.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "token/crypto/des.h"

namespace zyp::softtok {
namespace {

enum class Default { none, no, yes, zero_byte, zero_date };

struct LayoutSlot {
  CK_ATTRIBUTE_TYPE type;
  Default fallback;
};

constexpr LayoutSlot kCommonSlots[] = {
    {CKA_CLASS, Default::none},      {CKA_TOKEN, Default::no},      {CKA_PRIVATE, Default::no},
    {CKA_MODIFIABLE, Default::yes},  {CKA_LABEL, Default::zero_byte}, {CKA_FROM_KEY_STORE, Default::no},
};

constexpr LayoutSlot kDataSlots[] = {{CKA_APPLICATION, Default::zero_byte}, {CKA_VALUE, Default::zero_byte}};

constexpr LayoutSlot kKeySlots[] = {
    {CKA_KEY_TYPE, Default::none},       {CKA_ID, Default::zero_byte}, {CKA_START_DATE, Default::zero_date},
    {CKA_END_DATE, Default::zero_date}, {CKA_DERIVE, Default::no},    {CKA_LOCAL, Default::no},
};

constexpr LayoutSlot kSecretSlots[] = {
    {CKA_SENSITIVE, Default::no},         {CKA_ENCRYPT, Default::yes},         {CKA_DECRYPT, Default::yes},
    {CKA_SIGN, Default::yes},             {CKA_VERIFY, Default::yes},          {CKA_WRAP, Default::yes},
    {CKA_UNWRAP, Default::yes},           {CKA_EXTRACTABLE, Default::yes},     {CKA_NEVER_EXTRACTABLE, Default::no},
    {CKA_ALWAYS_SENSITIVE, Default::no},  {CKA_VALUE, Default::none},
};

constexpr LayoutSlot kPublicSlots[] = {
    {CKA_SUBJECT, Default::zero_byte}, {CKA_ENCRYPT, Default::yes},      {CKA_VERIFY, Default::yes},
    {CKA_VERIFY_RECOVER, Default::yes}, {CKA_WRAP, Default::yes},        {CKA_MODULUS, Default::none},
    {CKA_MODULUS_BITS, Default::none}, {CKA_PUBLIC_EXPONENT, Default::none},
};

constexpr LayoutSlot kPrivateSlots[] = {
    {CKA_SUBJECT, Default::zero_byte},     {CKA_SENSITIVE, Default::yes},        {CKA_DECRYPT, Default::yes},
    {CKA_SIGN, Default::yes},              {CKA_SIGN_RECOVER, Default::yes},     {CKA_UNWRAP, Default::yes},
    {CKA_EXTRACTABLE, Default::yes},       {CKA_NEVER_EXTRACTABLE, Default::yes}, {CKA_ALWAYS_SENSITIVE, Default::yes},
    {CKA_MODULUS, Default::none},          {CKA_PUBLIC_EXPONENT, Default::none}, {CKA_PRIVATE_EXPONENT, Default::none},
    {CKA_PRIME_1, Default::none},          {CKA_PRIME_2, Default::none},         {CKA_EXPONENT_1, Default::none},
    {CKA_EXPONENT_2, Default::none},       {CKA_COEFFICIENT, Default::none},
};

constexpr size_t kBytesPerSlot = 12;

constexpr CK_KEY_TYPE kSecretKeyTypes[] = {
    CKK_DES, CKK_DES2, CKK_DES3, CKK_CS_CIPHER_40, CKK_CS_CIPHER_64, CKK_CS_CIPHER_128, CKK_DES_40,
};

// Attributes that C_SetAttributeValue may change.
constexpr CK_ATTRIBUTE_TYPE kChangeable[] = {
    CKA_TOKEN,   CKA_PRIVATE, CKA_LABEL,  CKA_APPLICATION, CKA_VALUE,          CKA_SUBJECT,    CKA_ID,
    CKA_SENSITIVE, CKA_ENCRYPT, CKA_DECRYPT, CKA_WRAP,      CKA_UNWRAP,         CKA_SIGN,       CKA_VERIFY,
    CKA_VERIFY_RECOVER, CKA_DERIVE, CKA_START_DATE, CKA_END_DATE, CKA_EXTRACTABLE, CKA_MODIFIABLE,
};

std::vector<LayoutSlot> make_layout(std::initializer_list<std::span<const LayoutSlot>> parts) {
  std::vector<LayoutSlot> layout;
  for (auto part : parts) layout.insert(layout.end(), part.begin(), part.end());
  return layout;
}

const std::vector<LayoutSlot>& layout(ObjectKind kind) {
  static const std::vector<LayoutSlot> data = make_layout({kCommonSlots, kDataSlots});
  static const std::vector<LayoutSlot> public_key = make_layout({kCommonSlots, kKeySlots, kPublicSlots});
  static const std::vector<LayoutSlot> private_key = make_layout({kCommonSlots, kKeySlots, kPrivateSlots});
  static const std::vector<LayoutSlot> secret_key = make_layout({kCommonSlots, kKeySlots, kSecretSlots});
  switch (kind) {
    case ObjectKind::data:
      return data;
    case ObjectKind::public_key:
      return public_key;
    case ObjectKind::private_key:
      return private_key;
    case ObjectKind::secret_key:
      break;
  }
  return secret_key;
}

std::optional<SecureBytes> default_value(Default fallback) {
  switch (fallback) {
    case Default::no:
      return bool_value(false);
    case Default::yes:
      return bool_value(true);
    case Default::zero_byte:
      return SecureBytes(1, 0);
    case Default::zero_date:
      return SecureBytes(8, 0);
    case Default::none:
      break;
  }
  return std::nullopt;
}

std::optional<ObjectKind> kind_of_class(uint32_t object_class) {
  switch (object_class) {
    case CKO_DATA:
      return ObjectKind::data;
    case CKO_PUBLIC_KEY:
      return ObjectKind::public_key;
    case CKO_PRIVATE_KEY:
      return ObjectKind::private_key;
    case CKO_SECRET_KEY:
      return ObjectKind::secret_key;
    default:
      return std::nullopt;
  }
}

template <class T, size_t N>
bool contains(const T (&values)[N], uint64_t value) {
  return std::find(std::begin(values), std::end(values), value) != std::end(values);
}

CK_RV check_key_type(ObjectKind kind, const Template& attributes) {
  const Attribute* key_type = find_attribute(attributes, CKA_KEY_TYPE);
  if (!key_type) return CKR_TEMPLATE_INCOMPLETE;
  auto type = ulong_value(key_type);
  if (!type) return CKR_ATTRIBUTE_VALUE_INVALID;
  bool allowed = kind == ObjectKind::secret_key ? contains(kSecretKeyTypes, *type) : *type == CKK_RSA;
  return allowed ? CKR_OK : CKR_ATTRIBUTE_VALUE_INVALID;
}

// The 40-bit DES key's stored form: 5 bytes of key bits spread over 8 bytes.
CK_RV expand_des40_value(Template& attributes) {
  Attribute* value = find_attribute(attributes, CKA_VALUE);
  if (!value) return CKR_OK;
  std::array<uint8_t, 8> key;
  if (value->value.size() == 5) {
    key = spread_des40_key(std::span<const uint8_t, 5>(value->value.data(), 5));
  } else if (value->value.size() == 8) {
    key = mask_des40_key(std::span<const uint8_t, 8>(value->value.data(), 8));
  } else {
    return CKR_ATTRIBUTE_VALUE_INVALID;
  }
  value->value.assign(key.begin(), key.end());
  wipe(key.data(), key.size());
  return CKR_OK;
}

bool value_is_protected(const Object& object, CK_ATTRIBUTE_TYPE type) {
  return type == CKA_VALUE && object.kind == ObjectKind::secret_key &&
         (object.flag(CKA_SENSITIVE) || !object.flag(CKA_EXTRACTABLE));
}

CK_RV read_one(const Object& object, CK_ATTRIBUTE& entry) {
  const Attribute* attribute = object.find(entry.type);
  if (!attribute) return CKR_ATTRIBUTE_TYPE_INVALID;
  if (value_is_protected(object, entry.type)) return CKR_ATTRIBUTE_SENSITIVE;
  SecureBytes value = caller_form(entry.type, attribute->value);
  if (entry.pValue) {
    if (entry.ulValueLen < value.size()) return CKR_BUFFER_TOO_SMALL;
    std::memcpy(entry.pValue, value.data(), value.size());
  }
  entry.ulValueLen = value.size();
  return CKR_OK;
}

CK_RV check_changes(const Object& object, const Template& changes) {
  if (!object.flag(CKA_MODIFIABLE)) return CKR_TOKEN_WRITE_PROTECTED;
  for (const Attribute& change : changes) {
    if (!contains(kChangeable, change.type)) return CKR_ATTRIBUTE_READ_ONLY;
  }
  const Attribute* extractable = find_attribute(changes, CKA_EXTRACTABLE);
  if (extractable && is_true(extractable) && object.find(CKA_EXTRACTABLE) && !object.flag(CKA_EXTRACTABLE)) {
    return CKR_ATTRIBUTE_READ_ONLY;
  }
  const Attribute* sensitive = find_attribute(changes, CKA_SENSITIVE);
  if (sensitive && !is_true(sensitive) && object.flag(CKA_SENSITIVE)) return CKR_ATTRIBUTE_READ_ONLY;
  return CKR_OK;
}

// Sets an attribute the object has; others are ignored.
void replace_value(Object& object, CK_ATTRIBUTE_TYPE type, SecureBytes value) {
  if (Attribute* attribute = find_attribute(object.attributes, type)) attribute->value = std::move(value);
}

}  // namespace

CK_ULONG object_size(const Object& object) { return layout(object.kind).size() * kBytesPerSlot; }

CK_RV build_object(Template attributes, bool expand_des40, bool from_key_store, Object& out) {
  const Attribute* class_attribute = find_attribute(attributes, CKA_CLASS);
  if (!class_attribute) return CKR_TEMPLATE_INCOMPLETE;
  auto object_class = ulong_value(class_attribute);
  auto kind = object_class ? kind_of_class(*object_class) : std::nullopt;
  if (!kind) return CKR_ATTRIBUTE_VALUE_INVALID;
  if (*kind != ObjectKind::data) {
    if (Attribute* local = find_attribute(attributes, CKA_LOCAL)) local->value = bool_value(false);
    if (CK_RV rv = check_key_type(*kind, attributes); rv != CKR_OK) return rv;
    if (expand_des40 && ulong_value(find_attribute(attributes, CKA_KEY_TYPE)) == CKK_DES_40) {
      if (CK_RV rv = expand_des40_value(attributes); rv != CKR_OK) return rv;
    }
  }
  set_attribute(attributes, CKA_FROM_KEY_STORE, from_key_store ? SecureBytes{1} : bool_value(false));
  Object object;
  object.kind = *kind;
  for (const LayoutSlot& slot : layout(*kind)) {
    if (Attribute* given = find_attribute(attributes, slot.type)) {
      object.attributes.push_back({slot.type, std::move(given->value)});
    } else if (auto fallback = default_value(slot.fallback)) {
      object.attributes.push_back({slot.type, std::move(*fallback)});
    }
  }
  out = std::move(object);
  return CKR_OK;
}

CK_RV check_access(Access access, CK_STATE state, bool token_object, bool private_object) {
  bool read_only = state == CKS_RO_PUBLIC_SESSION || state == CKS_RO_USER_FUNCTIONS;
  bool is_public = state == CKS_RO_PUBLIC_SESSION || state == CKS_RW_PUBLIC_SESSION;
  if (token_object && read_only) return CKR_SESSION_READ_ONLY;
  if (access == Access::create_copy_destroy && private_object && is_public) return CKR_USER_NOT_LOGGED_IN;
  return CKR_OK;
}

CK_RV read_attributes(const Object& object, CK_ATTRIBUTE* entries, CK_ULONG count) {
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_RV rv = read_one(object, entries[i]);
    if (rv != CKR_OK) {
      entries[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = rv;
    }
  }
  return result;
}

CK_RV change_attributes(Object& object, const Template& changes) {
  if (CK_RV rv = check_changes(object, changes); rv != CKR_OK) return rv;
  for (const Attribute& change : changes) {
    replace_value(object, change.type, change.value);
    if (change.type == CKA_EXTRACTABLE && !is_true(&change)) replace_value(object, CKA_ALWAYS_SENSITIVE, bool_value(true));
    if (change.type == CKA_SENSITIVE && is_true(&change)) replace_value(object, CKA_NEVER_EXTRACTABLE, bool_value(false));
  }
  return CKR_OK;
}

bool matches(const Object& object, const Template& criteria) {
  for (const Attribute& criterion : criteria) {
    const Attribute* attribute = object.find(criterion.type);
    if (!attribute || value_is_protected(object, criterion.type)) return false;
    const SecureBytes& held = attribute->value;
    if (held.size() < criterion.value.size() ||
        !std::equal(criterion.value.begin(), criterion.value.end(), held.begin())) {
      return false;
    }
  }
  return true;
}

}  // namespace zyp::softtok
