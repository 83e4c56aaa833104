#pragma once
// Objects: attribute arrays laid out by class with their defaults, and the
// rules for reading, changing and matching their attributes. Where objects
// live (sessions) and how token objects reach the key store is in
// object_calls.cpp.
#include <string>

#include "token/attributes.h"
#include "token/pkcs11.h"

namespace zyp::softtok {

enum class ObjectKind { data, public_key, private_key, secret_key };

struct Object {
  CK_OBJECT_HANDLE handle = 0;
  ObjectKind kind = ObjectKind::data;
  Template attributes;  // the class layout's slots that hold a value, in layout order
  std::string section;  // its key store section; empty when never stored

  const Attribute* find(CK_ATTRIBUTE_TYPE type) const { return find_attribute(attributes, type); }
  bool flag(CK_ATTRIBUTE_TYPE type) const { return is_true(find(type)); }
  bool is_token_object() const { return flag(CKA_TOKEN); }
};

// 12 bytes per slot of the class layout: 96 data, 240 public key, 348
// private key, 276 secret key.
CK_ULONG object_size(const Object& object);

// Lays an object out from a template: CKA_CLASS and, for keys, CKA_KEY_TYPE
// required and checked, a key's CKA_LOCAL made FALSE, each layout slot filled
// from the template or its default, other template attributes dropped. With
// `expand_des40`, a CKK_DES_40 value of 5 bytes is spread to its 8-byte form
// (8 bytes are taken as that form, their low bits cleared).
// CKA_FROM_KEY_STORE tells where the object comes from, whatever the
// template says.
CK_RV build_object(Template attributes, bool expand_des40, bool from_key_store, Object& out);

enum class Access { create_copy_destroy, set_attributes };
// Token objects need a read/write session; for creation, copying and
// destruction, private objects also need a logged-in user.
CK_RV check_access(Access access, CK_STATE state, bool token_object, bool private_object);

// C_GetAttributeValue on one object.
CK_RV read_attributes(const Object& object, CK_ATTRIBUTE* entries, CK_ULONG count);

// C_SetAttributeValue's checks and changes in memory.
CK_RV change_attributes(Object& object, const Template& changes);

// The search rule: every criterion's attribute readable, and its value a
// prefix of the object's.
bool matches(const Object& object, const Template& criteria);

}  // namespace zyp::softtok
