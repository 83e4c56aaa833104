#pragma once
// Attribute values as this module holds them, and their conversion at the
// PKCS #11 boundary.
//
// Attributes whose PKCS #11 type is CK_ULONG (CKA_CLASS, CKA_KEY_TYPE,
// CKA_MODULUS_BITS, ...) are held as 4-byte little-endian numbers, the layout
// the key store and its section names were defined on. Callers give them as a
// CK_ULONG (8 bytes here) or as 4 bytes, and get them back as a CK_ULONG.
#include <cstdint>
#include <optional>
#include <vector>

#include "token/pkcs11.h"
#include "token/secure_memory.h"

namespace zyp::softtok {

struct Attribute {
  CK_ATTRIBUTE_TYPE type = 0;
  SecureBytes value;
};

using Template = std::vector<Attribute>;

inline constexpr size_t kStoredUlongSize = 4;

bool is_ulong_attribute(CK_ATTRIBUTE_TYPE type);

// Copies a caller's template into the held form. CKR_ARGUMENTS_BAD for a
// missing array or value pointer; CKR_ATTRIBUTE_VALUE_INVALID for a CK_ULONG
// value beyond 32 bits.
CK_RV read_template(const CK_ATTRIBUTE* attributes, CK_ULONG count, Template& out);

// The bytes a caller receives for a held value.
SecureBytes caller_form(CK_ATTRIBUTE_TYPE type, const SecureBytes& held);

const Attribute* find_attribute(const Template& attributes, CK_ATTRIBUTE_TYPE type);
Attribute* find_attribute(Template& attributes, CK_ATTRIBUTE_TYPE type);
// Replaces the value of the first attribute of that type, or appends one.
void set_attribute(Template& attributes, CK_ATTRIBUTE_TYPE type, SecureBytes value);

// A boolean attribute: one byte, nonzero for TRUE. Absent or empty is FALSE.
bool is_true(const Attribute* attribute);
inline bool is_true(const Template& attributes, CK_ATTRIBUTE_TYPE type) {
  return is_true(find_attribute(attributes, type));
}
SecureBytes bool_value(bool value);

// A held CK_ULONG value; nothing when absent or not 4 bytes long.
std::optional<uint32_t> ulong_value(const Attribute* attribute);
SecureBytes ulong_bytes(uint32_t value);

}  // namespace zyp::softtok
