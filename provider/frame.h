#pragma once
// The provider's frame: the token module, the variables shared by every
// process that loads the library, the two shared maps (sessions per token,
// key identifiers) and the per-process state around them.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "platform/shared_memory.h"
#include "provider/p11.h"
#include "zyp/zyptools.h"

namespace zyp::prov {

inline constexpr size_t kContextRecords = 256;
inline constexpr size_t kKeyMapEntries = 1024;
inline constexpr char kContextMapName[] = "ZYPPROV_CTXMAPFILE";
inline constexpr char kKeyMapName[] = "ZYPPROV_KEYCTXMAPFILE";
inline constexpr char kKeyOwnerMapName[] = "ZYPPROV_KEYOWNERS";
inline constexpr char kSharedVariablesName[] = "ZYPPROV_SHARED";

// One token's session, in the context map that every process sees.
struct ContextRecord {
  uint32_t session;  // CK_SESSION_HANDLE
  uint8_t logged_in;
  uint8_t padding[3];
  uint32_t token;
  uint32_t countdown;  // seconds left before the inactivity watcher closes it
  uint32_t last_use;   // seconds since 1970
  uint32_t in_use;
};
static_assert(sizeof(ContextRecord) == 24);
static_assert(offsetof(ContextRecord, logged_in) == 4);
static_assert(offsetof(ContextRecord, token) == 8);
static_assert(offsetof(ContextRecord, countdown) == 12);
static_assert(offsetof(ContextRecord, last_use) == 16);
static_assert(offsetof(ContextRecord, in_use) == 20);

// A key identifier and the object handle of the key in the current session;
// both 0 is a free entry.
struct KeyMapEntry {
  uint32_t key_id;
  uint32_t handle;  // CK_OBJECT_HANDLE
};
static_assert(sizeof(KeyMapEntry) == 8);
static_assert(offsetof(KeyMapEntry, handle) == 4);

// The token whose session registered a key map entry, entry for entry. It
// lives in a block of its own, so that the key map keeps its layout.
struct KeyOwner {
  uint32_t token;
  uint32_t known;  // 1 when `token` holds the owner
};
static_assert(sizeof(KeyOwner) == 8);

// The library's shared data: zero when no live process has it attached.
// Module handles and function lists are addresses, which mean nothing in
// another process, so each process keeps its own (Provider below).
struct SharedVariables {
  uint32_t inactivity_time;
  int32_t presence_check;
  int32_t inactivity_enabled;
  int32_t load_count;
  int32_t watcher_process;      // the process that runs the watchers
  uint32_t watcher_threads[2];  // their thread identifiers
};

// The key identifiers and their handles, with the owning token of each
// entry when `owners` has one owner per entry (otherwise no owner is known).
class KeyMap {
 public:
  explicit KeyMap(std::span<KeyMapEntry> entries, std::span<KeyOwner> owners = {})
      : entries_(entries), owners_(owners.size() == entries.size() ? owners : std::span<KeyOwner>()) {}
  // Stores the pair, for a key of `token`, in the first entry that has this
  // identifier or is free; false when the scan finds neither (or the handle
  // does not fit 32 bits).
  bool add(uint32_t key_id, CK_OBJECT_HANDLE handle, uint32_t token);
  // The handle of the first entry with this identifier, or 0.
  CK_OBJECT_HANDLE handle_of(uint32_t key_id) const;
  bool holds(uint32_t key_id) const;
  void forget(uint32_t key_id);
  // Clears the entries of a token whose session closes: its handles die with
  // the session. Entries whose owner is not known go too.
  void forget_token(uint32_t token);
  void wipe();

 private:
  void clear(size_t index);
  std::span<KeyMapEntry> entries_;
  std::span<KeyOwner> owners_;
};

class Watchers;

// Everything one process holds while the library is attached.
class Provider {
 public:
  Provider();
  ~Provider();
  Provider(const Provider&) = delete;
  Provider& operator=(const Provider&) = delete;

  CK_FUNCTION_LIST& p11() const { return *functions_; }
  SharedVariables& shared() const { return *shared_->get(); }
  // Empty when the map could not be created or opened.
  std::span<ContextRecord> records() const;
  std::span<KeyMapEntry> key_map_entries() const;
  std::span<KeyOwner> key_owners() const;
  KeyMap key_map() const { return KeyMap(key_map_entries(), key_owners()); }
  // Serialises this process's calls into the token module (initialised
  // without locking callbacks) and its changes of the maps.
  std::mutex& lock() { return lock_; }
  // The provider's language module (dialogs and texts); null when missing.
  const ZYPResourceModule* resources() const { return resources_; }
  // The serial number of the token of the last session opened here, which
  // ties later insertion prompts to that token.
  void remember_serial(const CK_UTF8CHAR (&serial)[16]);
  std::span<const CK_UTF8CHAR, 16> remembered_serial() const { return std::span<const CK_UTF8CHAR, 16>(serial_); }
  // The module is the suite's own software token, which tells a token that
  // was never set up by CKR_TOKEN_NOT_RECOGNIZED and never reports
  // CKF_TOKEN_INITIALIZED.
  bool software_token() const { return software_token_; }

 private:
  friend bool attach_process();
  friend void detach_process();
  // Loads the module named by "General"/"SOFTTOK"; on failure *reason says
  // which module (with its path) and why.
  bool load_token_module(std::string* reason);
  void unload_token_module();
  void open_maps(bool first);
  void close_all_sessions();

  ZYPResourceModule* resources_ = nullptr;
  std::unique_ptr<platform::SharedBlock<SharedVariables>> shared_;
  std::unique_ptr<platform::SharedMemory> context_map_;
  std::unique_ptr<platform::SharedMemory> key_map_;
  std::unique_ptr<platform::SharedMemory> key_owners_;
  void* module_ = nullptr;
  CK_FUNCTION_LIST* functions_ = nullptr;
  bool initialised_here_ = false;
  bool first_ = false;
  bool software_token_ = false;
  CK_UTF8CHAR serial_[16] = {};
  std::mutex lock_;
  std::unique_ptr<Watchers> watchers_;
};

// The attached process's provider, or null (not attached, or refused).
Provider* provider();

// Library load and unload. attach_process returns false when it refuses
// (the token module cannot be loaded); calls then answer as without a
// session. Both are idempotent.
bool attach_process();
void detach_process();

// Why the last attach of this process was refused (the token module, its
// path and the loader's reason); empty when it was not.
std::string load_failure();

// Seconds since 1970, as the 32-bit times of the context records.
uint32_t now_seconds();

}  // namespace zyp::prov
