// Sessions, login and the token's PIN.
#include <algorithm>
#include <cstring>
#include <span>

#include "token/calls.h"
#include "token/key_store.h"
#include "token/slots.h"

namespace zyp::softtok {
namespace {

constexpr size_t kLabelSize = 32;

bool has_store(CK_SLOT_ID slot) { return slot == kFileSlot || slot == kFloppySlot; }

std::span<const uint8_t> pin_bytes(const CK_UTF8CHAR* pin, CK_ULONG length) { return {pin, length}; }

CK_RV check_pin_arguments(const CK_UTF8CHAR* pin, CK_ULONG length) {
  if (!pin && length != 0) return CKR_ARGUMENTS_BAD;
  return length > kMaxPinLength ? CKR_PIN_LEN_RANGE : CKR_OK;
}

// A PIN to be stored: a zero byte would cut the text the sealing key is
// derived from short of the PIN that login compares.
CK_RV check_new_pin(const CK_UTF8CHAR* pin, CK_ULONG length) {
  if (CK_RV rv = check_pin_arguments(pin, length); rv != CKR_OK) return rv;
  return length != 0 && std::memchr(pin, 0, length) ? CKR_PIN_INVALID : CKR_OK;
}

// Presents the PIN to the slot's store: the store must open with it and
// hold exactly these PIN bytes. On failure the credentials are locked.
std::optional<PlainStore> unlock_store(Module& m, CK_SLOT_ID slot, std::span<const uint8_t> pin) {
  m.credentials.present(pin);
  auto store = open_store(slot, m.credentials);
  if (store && store_pin_is(*store, pin)) return store;
  m.credentials.lock();
  return std::nullopt;
}

// Up to the first zero byte of the 32-byte label.
std::string_view label_text(const CK_UTF8CHAR* label) {
  std::string_view text(reinterpret_cast<const char*>(label), kLabelSize);
  return text.substr(0, text.find('\0'));
}

CK_STATE logged_in_state(const Session& s, CK_USER_TYPE user) {
  if (!s.read_write()) return CKS_RO_USER_FUNCTIONS;
  return user == CKU_SO ? CKS_RW_SO_FUNCTIONS : CKS_RW_USER_FUNCTIONS;
}

void close_one(Module& m, std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>>::iterator it) {
  release_session(it->second->slot, it->second->read_write());
  m.sessions.erase(it);
}

}  // namespace

CK_RV open_session(Module& m, CK_SLOT_ID slot, CK_FLAGS flags, void* application, CK_NOTIFY notify,
                   CK_SESSION_HANDLE* session) {
  if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
  if (!session) return CKR_ARGUMENTS_BAD;
  if (!(flags & CKF_SERIAL_SESSION)) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
  bool read_write = (flags & CKF_RW_SESSION) != 0;
  if (CK_RV rv = reserve_session(slot, read_write); rv != CKR_OK) return rv;
  try {
    if (has_store(slot) && !store_exists(slot)) {
      release_session(slot, read_write);
      return CKR_TOKEN_NOT_RECOGNIZED;
    }
    auto handle = m.new_session_handle();
    if (!handle) {
      release_session(slot, read_write);
      return CKR_HOST_MEMORY;
    }
    auto record = std::make_unique<Session>();
    record->handle = *handle;
    record->slot = slot;
    record->flags = flags;
    record->state = record->public_state();
    record->application = application;
    record->notify = notify;
    m.sessions.emplace(*handle, std::move(record));
    *session = *handle;
    return CKR_OK;
  } catch (...) {
    release_session(slot, read_write);
    throw;
  }
}

CK_RV close_session(Module& m, CK_SESSION_HANDLE session) {
  auto it = m.sessions.find(session);
  if (it == m.sessions.end()) return CKR_SESSION_HANDLE_INVALID;
  close_one(m, it);
  return CKR_OK;
}

CK_RV close_all_sessions(Module& m, CK_SLOT_ID slot) {
  if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
  for (auto it = m.sessions.begin(); it != m.sessions.end();) {
    auto next = std::next(it);
    if (it->second->slot == slot) close_one(m, it);
    it = next;
  }
  return CKR_OK;
}

CK_RV get_session_info(const Session& s, CK_SESSION_INFO* info) {
  if (!info) return CKR_ARGUMENTS_BAD;
  info->slotID = s.slot;
  info->state = s.state;
  info->flags = s.flags;
  info->ulDeviceError = 0;
  return CKR_OK;
}

CK_RV login(Module& m, Session& s, CK_USER_TYPE user, const CK_UTF8CHAR* pin, CK_ULONG pin_length) {
  if (user != CKU_SO && user != CKU_USER) return CKR_USER_TYPE_INVALID;
  if (s.logged_in()) return CKR_USER_ALREADY_LOGGED_IN;
  if (CK_RV rv = check_pin_arguments(pin, pin_length); rv != CKR_OK) return rv;
  if (has_store(s.slot)) {
    auto store = unlock_store(m, s.slot, pin_bytes(pin, pin_length));
    if (!store) return CKR_PIN_INCORRECT;
    if (!holds_token(*store)) return CKR_TOKEN_NOT_RECOGNIZED;
    load_stored_objects(m, s, *store);
  }
  s.state = logged_in_state(s, user);
  return CKR_OK;
}

CK_RV logout(Session& s) {
  s.state = s.public_state();
  return CKR_OK;
}

CK_RV set_pin(Module& m, Session& s, const CK_UTF8CHAR* old_pin, CK_ULONG old_length, const CK_UTF8CHAR* new_pin,
              CK_ULONG new_length) {
  if (s.state != CKS_RW_USER_FUNCTIONS && s.state != CKS_RW_SO_FUNCTIONS) return CKR_USER_NOT_LOGGED_IN;
  if (CK_RV rv = check_pin_arguments(old_pin, old_length); rv != CKR_OK) return rv;
  if (CK_RV rv = check_new_pin(new_pin, new_length); rv != CKR_OK) return rv;
  if (!has_store(s.slot)) return CKR_OK;
  auto store = unlock_store(m, s.slot, pin_bytes(old_pin, old_length));
  if (!store) return CKR_PIN_INCORRECT;
  std::string_view old_text = m.credentials.pin();
  std::string_view new_text(reinterpret_cast<const char*>(new_pin), new_length);
  if (old_text == new_text) return CKR_OK;
  if (!set_store_pin(*store, new_text)) return CKR_PIN_INVALID;
  StoreCredentials changed;
  changed.present(pin_bytes(new_pin, new_length));
  if (!seal_store(s.slot, changed, *store)) return CKR_DEVICE_ERROR;
  m.credentials = std::move(changed);
  return CKR_OK;
}

CK_RV init_token(Module& m, CK_SLOT_ID slot, const CK_UTF8CHAR* pin, CK_ULONG pin_length, const CK_UTF8CHAR* label) {
  if (!valid_slot(slot)) return CKR_SLOT_ID_INVALID;
  if (!label) return CKR_ARGUMENTS_BAD;
  if (CK_RV rv = check_new_pin(pin, pin_length); rv != CKR_OK) return rv;
  if (!has_store(slot)) return CKR_OK;
  if (!token_present(slot)) return CKR_TOKEN_NOT_PRESENT;
  m.credentials.present(pin_bytes(pin, pin_length));
  CK_RV rv = create_store(slot, m.credentials, label_text(label));
  if (rv != CKR_OK) m.credentials.lock();
  return rv;
}

}  // namespace zyp::softtok
