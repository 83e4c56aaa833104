#pragma once
// The per-process state of the module: its sessions with their objects and
// operations, the object search and the key store credentials. One mutex
// serialises the calls of a process; the process-shared part is slots.h.
#include <array>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "token/crypto/cs_cipher.h"
#include "token/crypto/des.h"
#include "token/crypto/store_hash.h"
#include "token/key_store.h"
#include "token/objects.h"
#include "token/pkcs11.h"

namespace zyp::softtok {

// An encryption or decryption in progress: its cipher and the chaining value
// that carries over between parts.
struct CipherOperation {
  bool active = false;
  CK_MECHANISM_TYPE mechanism = 0;
  std::optional<DesKey> des;
  std::optional<CsCipherKey> cs;
  std::array<uint8_t, 8> chain{};

  void end();
};

struct DigestOperation {
  bool active = false;
  StoreHash hash;
};

struct Session {
  CK_SESSION_HANDLE handle = 0;
  CK_SLOT_ID slot = 0;
  CK_FLAGS flags = 0;
  CK_STATE state = CKS_RO_PUBLIC_SESSION;
  void* application = nullptr;  // kept, never called back
  CK_NOTIFY notify = nullptr;
  std::list<std::unique_ptr<Object>> objects;  // newest first
  CipherOperation encryption;
  CipherOperation decryption;
  DigestOperation digest;

  bool read_write() const { return (flags & CKF_RW_SESSION) != 0; }
  bool logged_in() const { return state != CKS_RO_PUBLIC_SESSION && state != CKS_RW_PUBLIC_SESSION; }
  CK_STATE public_state() const { return read_write() ? CKS_RW_PUBLIC_SESSION : CKS_RO_PUBLIC_SESSION; }
  Object* find_object(CK_OBJECT_HANDLE handle);
};

// The object search: one per process, whichever session began it.
struct FindState {
  bool active = false;
  std::vector<CK_OBJECT_HANDLE> results;
  size_t cursor = 0;
};

struct Module {
  std::mutex lock;
  std::map<CK_SESSION_HANDLE, std::unique_ptr<Session>> sessions;
  FindState search;
  StoreCredentials credentials;
  uint64_t last_session_handle = 0;
  uint64_t last_object_handle = 0;

  Session* find_session(CK_SESSION_HANDLE handle);
  // Small integers from 1 upward, never reused; nothing once 32 bits are used up.
  std::optional<CK_SESSION_HANDLE> new_session_handle();
  std::optional<CK_OBJECT_HANDLE> new_object_handle();
};

// The process's state, made when the module is loaded; null when that failed.
Module* module();
void load_module();
// Gives back the session counts of this process's open sessions and frees
// everything.
void unload_module();

}  // namespace zyp::softtok
