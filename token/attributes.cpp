#include "token/attributes.h"

#include <algorithm>
#include <cstring>

#include "token/crypto/bytes.h"

namespace zyp::softtok {

bool is_ulong_attribute(CK_ATTRIBUTE_TYPE type) {
  switch (type) {
    case CKA_CLASS:
    case CKA_KEY_TYPE:
    case CKA_CERTIFICATE_TYPE:
    case CKA_CERTIFICATE_CATEGORY:
    case CKA_JAVA_MIDP_SECURITY_DOMAIN:
    case CKA_MODULUS_BITS:
    case CKA_VALUE_BITS:
    case CKA_VALUE_LEN:
    case CKA_PRIME_BITS:
    case CKA_SUB_PRIME_BITS:
    case CKA_KEY_GEN_MECHANISM:
    case CKA_HW_FEATURE_TYPE:
    case CKA_MECHANISM_TYPE:
    case CKA_NAME_HASH_ALGORITHM:
      return true;
    default:
      return false;
  }
}

CK_RV read_template(const CK_ATTRIBUTE* attributes, CK_ULONG count, Template& out) {
  out.clear();
  if (count == 0) return CKR_OK;
  if (!attributes) return CKR_ARGUMENTS_BAD;
  out.reserve(count);
  for (CK_ULONG i = 0; i < count; ++i) {
    const CK_ATTRIBUTE& given = attributes[i];
    if (!given.pValue && given.ulValueLen != 0) return CKR_ARGUMENTS_BAD;
    Attribute attribute{given.type, to_secure(given.pValue, given.pValue ? given.ulValueLen : 0)};
    if (is_ulong_attribute(given.type) && given.ulValueLen == sizeof(CK_ULONG)) {
      CK_ULONG number;
      std::memcpy(&number, given.pValue, sizeof number);
      if (number > 0xFFFFFFFFu) return CKR_ATTRIBUTE_VALUE_INVALID;
      attribute.value = ulong_bytes(static_cast<uint32_t>(number));
    }
    out.push_back(std::move(attribute));
  }
  return CKR_OK;
}

SecureBytes caller_form(CK_ATTRIBUTE_TYPE type, const SecureBytes& held) {
  if (!is_ulong_attribute(type) || held.size() != kStoredUlongSize) return held;
  CK_ULONG number = load_le32(held.data());
  return to_secure(&number, sizeof number);
}

const Attribute* find_attribute(const Template& attributes, CK_ATTRIBUTE_TYPE type) {
  auto it = std::find_if(attributes.begin(), attributes.end(), [type](const Attribute& a) { return a.type == type; });
  return it == attributes.end() ? nullptr : &*it;
}

Attribute* find_attribute(Template& attributes, CK_ATTRIBUTE_TYPE type) {
  return const_cast<Attribute*>(find_attribute(static_cast<const Template&>(attributes), type));
}

void set_attribute(Template& attributes, CK_ATTRIBUTE_TYPE type, SecureBytes value) {
  if (Attribute* existing = find_attribute(attributes, type)) {
    existing->value = std::move(value);
  } else {
    attributes.push_back({type, std::move(value)});
  }
}

bool is_true(const Attribute* attribute) {
  return attribute && !attribute->value.empty() && attribute->value[0] != 0;
}

SecureBytes bool_value(bool value) { return SecureBytes{static_cast<uint8_t>(value ? CK_TRUE : CK_FALSE)}; }

std::optional<uint32_t> ulong_value(const Attribute* attribute) {
  if (!attribute || attribute->value.size() != kStoredUlongSize) return std::nullopt;
  return load_le32(attribute->value.data());
}

SecureBytes ulong_bytes(uint32_t value) {
  SecureBytes bytes(kStoredUlongSize);
  store_le32(bytes.data(), value);
  return bytes;
}

}  // namespace zyp::softtok
