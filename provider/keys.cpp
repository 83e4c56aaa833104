// Listing tokens, algorithms and keys, and their names.
#include "provider/keys.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "provider/calls.h"
#include "provider/mechanisms.h"
#include "provider/objects.h"
#include "provider/sessions.h"
#include "provider/trace.h"

namespace zyp::prov {
namespace {

// List protocol: a null list holds no entry, whatever the count says.
uint32_t capacity_of(const ZYPCIPListEntry* list, const uint32_t* count) { return list ? *count : 0; }

// Stores the number and tells whether the items fit the caller's list.
bool fits(size_t items, uint32_t capacity, uint32_t* count) {
  *count = static_cast<uint32_t>(items);
  return items <= capacity;
}

void set_name(ZYPCIPListEntry& entry, std::string_view name) {
  name = name.substr(0, sizeof entry.name - 1);
  std::memset(entry.name, 0, sizeof entry.name);
  std::copy(name.begin(), name.end(), entry.name);
}

std::string_view description_of(const CK_SLOT_INFO& info) {
  return without_trailing_blanks(
      {reinterpret_cast<const char*>(info.slotDescription), sizeof info.slotDescription});
}

bool suits(uint16_t type, CK_FLAGS flags) {
  switch (type) {
    case ZYPCIP_TYPE_ENCRYPTION:
      return (flags & CKF_ENCRYPT) && (flags & CKF_DECRYPT);
    case ZYPCIP_TYPE_SIGNATURE:
      return (flags & CKF_SIGN) && (flags & CKF_VERIFY);
    case ZYPCIP_TYPE_DIGEST:
      return flags & CKF_DIGEST;
    default:
      return false;
  }
}

// The module's slot list; the module may add slots between the count and
// the list, so a list that has grown is asked for again.
int slot_list(Provider& p, CK_ULONG count, std::vector<CK_SLOT_ID>& slots) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    slots.assign(count, 0);
    CK_RV rv = p.p11().C_GetSlotList(CK_FALSE, slots.data(), &count);
    if (rv == CKR_OK) {
      slots.resize(std::min<CK_ULONG>(count, slots.size()));
      return kOk;
    }
    if (rv != CKR_BUFFER_TOO_SMALL) return kTokenFailed;
  }
  return kTokenFailed;
}

int mechanism_list(Provider& p, uint32_t token, std::vector<CK_MECHANISM_TYPE>& mechanisms) {
  CK_ULONG count = 0;
  CK_RV rv = p.p11().C_GetMechanismList(token, nullptr, &count);
  if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return kTokenFailed;
  mechanisms.assign(count, 0);
  if (p.p11().C_GetMechanismList(token, mechanisms.data(), &count) != CKR_OK) return kTokenFailed;
  mechanisms.resize(std::min<CK_ULONG>(count, mechanisms.size()));
  return kOk;
}

}  // namespace

int enum_token(Provider& p, ZYPCIPListEntry* list, uint32_t* count) {
  if (!count) return kTokenFailed;
  uint32_t capacity = capacity_of(list, count);
  CK_ULONG slots_count = 0;
  CK_RV rv = p.p11().C_GetSlotList(CK_FALSE, nullptr, &slots_count);
  ZYPTrace(kTraceFailure, "ZYPCIPEnumToken GetSlotList returns slotCount = %ld rv = %ld",
           static_cast<long>(slots_count), static_cast<long>(rv));
  if (rv != CKR_OK && rv != CKR_BUFFER_TOO_SMALL) return kTokenFailed;
  if (!fits(slots_count, capacity, count)) return kTooSmall;
  std::vector<CK_SLOT_ID> slots;
  if (int result = slot_list(p, slots_count, slots); result != kOk) return result;
  if (!fits(slots.size(), capacity, count)) return kTooSmall;
  for (size_t i = 0; i < slots.size(); ++i) {
    CK_SLOT_INFO info{};
    rv = p.p11().C_GetSlotInfo(slots[i], &info);
    if (rv != CKR_OK) {
      ZYPTrace(kTraceFailure, "GetSlotInfo %ld returns %ld", static_cast<long>(slots[i]), static_cast<long>(rv));
      return kTokenFailed;
    }
    list[i].value = static_cast<uint32_t>(slots[i]);
    set_name(list[i], description_of(info));
  }
  return kOk;
}

int enum_algorithm(Provider& p, uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count) {
  if (!count) return kTokenFailed;
  uint32_t capacity = capacity_of(list, count);
  CK_SLOT_INFO slot{};
  if (p.p11().C_GetSlotInfo(token, &slot) != CKR_OK) return kTokenFailed;
  std::vector<CK_MECHANISM_TYPE> mechanisms;
  if (int result = mechanism_list(p, token, mechanisms); result != kOk) return result;
  std::vector<CK_MECHANISM_TYPE> suitable;
  for (CK_MECHANISM_TYPE mechanism : mechanisms) {
    CK_MECHANISM_INFO info{};
    if (p.p11().C_GetMechanismInfo(token, mechanism, &info) != CKR_OK) return kTokenFailed;
    if (suits(type, info.flags)) suitable.push_back(mechanism);
  }
  if (!fits(suitable.size(), capacity, count)) return kTooSmall;
  for (size_t i = 0; i < suitable.size(); ++i) {
    list[i].value = static_cast<uint32_t>(suitable[i]);
    set_name(list[i], mechanism_name(suitable[i]));
  }
  return kOk;
}

int enum_key(Provider& p, uint32_t token, CK_MECHANISM_TYPE mechanism, ZYPCIPListEntry* list, uint32_t* count) {
  if (!count) return kTokenFailed;
  uint32_t capacity = capacity_of(list, count);
  auto session = valid_session(p, token);
  if (!session) return kTokenFailed;
  KeyKind kind = key_kind(mechanism);
  CK_ATTRIBUTE search[] = {{CKA_CLASS, &kind.object_class, sizeof kind.object_class},
                           {CKA_KEY_TYPE, &kind.key_type, sizeof kind.key_type}};
  std::vector<CK_OBJECT_HANDLE> keys = find_objects(p, *session, search);
  if (!fits(keys.size(), capacity, count)) return kTooSmall;
  KeyMap key_map = p.key_map();
  for (size_t i = 0; i < keys.size(); ++i) {
    auto label = read_label(p, *session, keys[i]);
    if (!label) return kTokenFailed;
    auto key_id = key_identifier(p, *session, keys[i]);
    if (!key_id) {
      ZYPTrace(kTraceFailure, "ZYPCIPEnumKey : crc on key failed");
      return kTokenFailed;
    }
    if (!key_map.add(*key_id, keys[i], token)) {
      ZYPTrace(kTraceFailure, "ZYPCIPEnumKey : unable to set key identifier");
      return kKeyMapFull;
    }
    list[i].value = *key_id;
    set_name(list[i], *label);
  }
  return kOk;
}

}  // namespace zyp::prov

using namespace zyp::prov;

ZYP_API int ZYPCIPEnumToken(ZYPCIPListEntry* list, uint32_t* count) {
  return token_call([&](Provider& p) { return enum_token(p, list, count); });
}

ZYP_API int ZYPCIPEnumAlgorithm(uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count) {
  return token_call([&](Provider& p) { return enum_algorithm(p, token, type, list, count); });
}

ZYP_API int ZYPCIPEnumKey(uint32_t token, uint32_t mechanism, uint16_t /*type*/, ZYPCIPListEntry* list,
                          uint32_t* count) {
  return token_call([&](Provider& p) { return enum_key(p, token, mechanism, list, count); });
}

ZYP_API int ZYPCIPGetTokenName(uint32_t token, char* name, uint32_t* length) {
  return token_call([&](Provider& p) {
    if (!length) return kTokenFailed;
    CK_SLOT_INFO info{};
    if (!valid_session(p, token) || p.p11().C_GetSlotInfo(token, &info) != CKR_OK) {
      *length = 0;
      return kTokenFailed;
    }
    return give_name(description_of(info), name, length);
  });
}

ZYP_API int ZYPCIPGetAlgoName(uint32_t token, uint32_t mechanism, char* name, uint32_t* length) {
  return token_call([&](Provider& p) {
    if (!length) return kTokenFailed;
    if (!valid_session(p, token)) {
      *length = 0;
      return kTokenFailed;
    }
    return give_name(mechanism_name(mechanism), name, length);
  });
}

ZYP_API int ZYPCIPGetKeyName(uint32_t token, uint32_t keyIdentifier, char* name, uint32_t* length) {
  return token_call([&](Provider& p) {
    if (!length) return kTokenFailed;
    auto session = valid_session(p, token);
    if (!session) {
      *length = 0;
      return kTokenFailed;
    }
    CK_OBJECT_HANDLE key = p.key_map().handle_of(keyIdentifier);
    if (key == CK_INVALID_HANDLE) {
      *length = 0;
      return kUnknownKey;
    }
    auto label = read_label(p, *session, key);
    if (!label) {
      *length = 0;
      return kTokenFailed;
    }
    return give_name(*label, name, length);
  });
}

ZYP_API int ZYPCIPGetKeyFormat(uint32_t token, uint32_t mechanism, uint16_t /*type*/, uint32_t* bits) {
  return token_call([&](Provider& p) { return bits ? key_format(p, token, mechanism, bits) : kTokenFailed; });
}
