#include "provider/login.h"

#include <mutex>
#include <new>
#include <vector>

#include "provider/calls.h"
#include "provider/keys.h"
#include "provider/sessions.h"
#include "provider/trace.h"
#include "zyp/zypprov.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

constexpr int kStateSessionOpen = 0;

// One listing in two calls: the count (capacity 0), then the list.
template <typename Enumerate>
bool list_all(std::vector<ZYPCIPListEntry>& entries, Enumerate&& enumerate, const char* count_failed,
              const char* list_failed) {
  uint32_t count = 0;
  int result = enumerate(nullptr, &count);
  if (result != kOk && result != kTooSmall) {
    if (result != kNoMemory) ZYPTrace(kTraceFatal, "%s", count_failed);
    return false;
  }
  entries.assign(count, ZYPCIPListEntry{});
  result = enumerate(entries.data(), &count);
  if (result != kOk) {
    if (result != kNoMemory) ZYPTrace(kTraceFatal, "%s", list_failed);
    return false;
  }
  entries.resize(count);
  return true;
}

CK_RV open_session(Provider& p, uint32_t token, std::span<const uint8_t> pin) {
  if (has_valid_session(p, token)) return CKR_USER_ALREADY_LOGGED_IN;
  ContextRecord* record = take_record(p, token);
  if (!record) return CKR_SESSION_COUNT;
  CK_RV rv = open_record_session(p, *record);
  if (rv != CKR_OK) {
    release_record(*record);
    return rv;
  }
  rv = p.p11().C_Login(record->session, CKU_USER, const_cast<uint8_t*>(pin.data()), pin.size());
  if (!login_succeeded(rv)) {
    p.p11().C_CloseSession(record->session);
    release_record(*record);
    return rv;
  }
  mark_logged_in(p, *record);
  return CKR_OK;
}

// A login stands even when keys cannot all be registered: the keys found
// so far are usable, and listing them again registers the rest.
void register_keys_after_login(Provider& p) noexcept {
  try {
    if (register_all_keys(p, ZYPCIP_TYPE_ENCRYPTION)) register_all_keys(p, ZYPCIP_TYPE_SIGNATURE);
  } catch (...) {
  }
}

}  // namespace

ContextRecord* take_record(Provider& p, uint32_t token) {
  ContextRecord* record = record_of(p, token);
  if (!record) record = free_record(p);
  if (!record) return nullptr;
  record->logged_in = 0;
  record->token = token;
  record->in_use = 1;
  return record;
}

void release_record(ContextRecord& record) {
  record.session = 0;
  record.logged_in = 0;
  record.in_use = 0;
}

CK_RV open_record_session(Provider& p, ContextRecord& record) {
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  CK_RV rv = p.p11().C_OpenSession(record.token, CKF_RW_SESSION | CKF_SERIAL_SESSION, nullptr, nullptr, &session);
  if (rv == CKR_OK && session > UINT32_MAX) {
    // The shared record holds 32-bit handles only.
    p.p11().C_CloseSession(session);
    rv = CKR_SESSION_COUNT;
  }
  if (rv == CKR_OK) record.session = static_cast<uint32_t>(session);
  return rv;
}

bool login_succeeded(CK_RV rv) { return rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN; }

void mark_logged_in(Provider& p, ContextRecord& record) {
  record.logged_in = 1;
  refresh_activity(record, p.shared());
}

void finish_login(Provider& p, uint32_t token) {
  register_keys_after_login(p);
  ZYPSetSessionState(static_cast<int>(token), kStateSessionOpen);
  CK_TOKEN_INFO info{};
  if (p.p11().C_GetTokenInfo(token, &info) == CKR_OK) p.remember_serial(info.serialNumber);
}

bool register_all_keys(Provider& p, uint16_t type) {
  std::vector<ZYPCIPListEntry> tokens, algorithms, keys;
  if (!list_all(tokens, [&](ZYPCIPListEntry* list, uint32_t* count) { return enum_token(p, list, count); },
                "EnumAllKeys : Enum Token (1) failed", "EnumAllKeys : Enum Token (2) failed")) {
    return false;
  }
  for (const ZYPCIPListEntry& token : tokens) {
    // Keys can be listed only on a token with a session; other slots of the
    // module (empty readers, tokens nobody logged in to) have none to give.
    if (!has_valid_session(p, token.value)) continue;
    auto algorithms_of = [&](ZYPCIPListEntry* list, uint32_t* count) {
      return enum_algorithm(p, token.value, type, list, count);
    };
    if (!list_all(algorithms, algorithms_of, "EnumAllKeys : Enum Algo (1) failed",
                  "EnumAllKeys : Enum Algo (2) failed")) {
      return false;
    }
    for (const ZYPCIPListEntry& algorithm : algorithms) {
      auto keys_of = [&](ZYPCIPListEntry* list, uint32_t* count) {
        return enum_key(p, token.value, algorithm.value, list, count);
      };
      if (!list_all(keys, keys_of, "EnumAllKeys : Enum Keys (1) failed", "EnumAllKeys : Enum Keys (2) failed")) {
        return false;
      }
    }
  }
  return true;
}

CK_RV login_with_pin(uint32_t token, std::span<const uint8_t> pin) {
  Provider* p = provider();
  if (!p) return CKR_CRYPTOKI_NOT_INITIALIZED;
  try {
    std::lock_guard guard(p->lock());
    CK_RV rv = open_session(*p, token, pin);
    if (rv != CKR_OK) return rv;
    finish_login(*p, token);
    return CKR_OK;
  } catch (const std::bad_alloc&) {
    return CKR_HOST_MEMORY;
  } catch (...) {
    return CKR_GENERAL_ERROR;
  }
}

}  // namespace zyp::prov
