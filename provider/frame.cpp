#include "provider/frame.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <ctime>

#include "platform/modules.h"
#include "provider/config.h"
#include "provider/sessions.h"
#include "provider/trace.h"
#include "provider/watchers.h"
#include "zyp/zypprof.h"

namespace zyp::prov {
namespace {

constexpr char kDllMain[] = "ZYPPROV DllMain:";
constexpr char kLoadModule[] = "ZYPPROV ZYPLoadPKCSModule:";
constexpr size_t kContextMapSize = kContextRecords * sizeof(ContextRecord);  // 6144
constexpr size_t kKeyMapSize = kKeyMapEntries * sizeof(KeyMapEntry);         // 8192
constexpr size_t kKeyOwnersSize = kKeyMapEntries * sizeof(KeyOwner);

std::atomic<Provider*> g_provider{nullptr};

void free_resources(ZYPResourceModule*& resources) {
  if (resources) ZYPFreeResource(resources);
  resources = nullptr;
}

int32_t add_to_load_count(SharedVariables& shared, int32_t change) {
  return std::atomic_ref<int32_t>(shared.load_count).fetch_add(change) + change;
}

// Every entry the provider calls must be there: a list with holes is
// refused like a module without C_GetFunctionList.
bool complete(const CK_FUNCTION_LIST& f) {
  const void* entries[] = {
      reinterpret_cast<const void*>(f.C_Initialize),        reinterpret_cast<const void*>(f.C_Finalize),
      reinterpret_cast<const void*>(f.C_GetSlotList),       reinterpret_cast<const void*>(f.C_GetSlotInfo),
      reinterpret_cast<const void*>(f.C_GetTokenInfo),      reinterpret_cast<const void*>(f.C_GetMechanismList),
      reinterpret_cast<const void*>(f.C_GetMechanismInfo),  reinterpret_cast<const void*>(f.C_OpenSession),
      reinterpret_cast<const void*>(f.C_CloseSession),      reinterpret_cast<const void*>(f.C_Login),
      reinterpret_cast<const void*>(f.C_CreateObject),      reinterpret_cast<const void*>(f.C_DestroyObject),
      reinterpret_cast<const void*>(f.C_GetAttributeValue), reinterpret_cast<const void*>(f.C_FindObjectsInit),
      reinterpret_cast<const void*>(f.C_FindObjects),       reinterpret_cast<const void*>(f.C_FindObjectsFinal),
      reinterpret_cast<const void*>(f.C_EncryptInit),       reinterpret_cast<const void*>(f.C_Encrypt),
      reinterpret_cast<const void*>(f.C_DecryptInit),       reinterpret_cast<const void*>(f.C_Decrypt),
      reinterpret_cast<const void*>(f.C_DigestInit),        reinterpret_cast<const void*>(f.C_Digest),
      reinterpret_cast<const void*>(f.C_DigestKey),         reinterpret_cast<const void*>(f.C_DigestFinal),
      reinterpret_cast<const void*>(f.C_SignInit),          reinterpret_cast<const void*>(f.C_Sign),
      reinterpret_cast<const void*>(f.C_VerifyInit),        reinterpret_cast<const void*>(f.C_Verify),
      reinterpret_cast<const void*>(f.C_GenerateKey),       reinterpret_cast<const void*>(f.C_GenerateKeyPair),
      reinterpret_cast<const void*>(f.C_WrapKey),           reinterpret_cast<const void*>(f.C_UnwrapKey),
      reinterpret_cast<const void*>(f.C_InitToken),         reinterpret_cast<const void*>(f.C_SetPIN),
  };
  for (const void* entry : entries) {
    if (!entry) return false;
  }
  return true;
}

// "the token module NAME (PATH)", the path where the suite would load it
// from, so that a message about it says which file was meant.
std::string describe_module(const char* name) {
  std::string text = "the token module \"" + std::string(name) + "\"";
  std::string file = platform::find_module(name).value_or(platform::linux_file_name(name));
  if (file != name) text += " (" + file + ")";
  return text;
}

// The file name's stem, upper-cased, holds "SOFTTOK" (libsofttok.so,
// SOFTTOK.DLL and their variants).
bool names_software_token(std::string_view name) {
  std::string file = platform::linux_file_name(name);
  std::string stem = file.substr(file.rfind('/') + 1);
  std::transform(stem.begin(), stem.end(), stem.begin(), [](unsigned char c) { return std::toupper(c); });
  return stem.find("SOFTTOK") != std::string::npos;
}

std::mutex g_load_failure_lock;
std::string g_load_failure;

void set_load_failure(std::string reason) {
  std::lock_guard guard(g_load_failure_lock);
  g_load_failure = std::move(reason);
}

}  // namespace

// ---- Key map -----------------------------------------------------------
// Handles are never 0 (CK_INVALID_HANDLE), so an entry with handle 0 is
// free even when the identifier 0 is looked for.

bool KeyMap::add(uint32_t key_id, CK_OBJECT_HANDLE handle, uint32_t token) {
  if (handle == CK_INVALID_HANDLE || handle > UINT32_MAX) return false;
  for (size_t i = 0; i < entries_.size(); ++i) {
    KeyMapEntry& entry = entries_[i];
    if (entry.key_id == key_id || (entry.key_id == 0 && entry.handle == 0)) {
      entry.key_id = key_id;
      entry.handle = static_cast<uint32_t>(handle);
      if (!owners_.empty()) owners_[i] = KeyOwner{token, 1};
      return true;
    }
  }
  return false;
}

CK_OBJECT_HANDLE KeyMap::handle_of(uint32_t key_id) const {
  for (const KeyMapEntry& entry : entries_) {
    if (entry.key_id == key_id && entry.handle != 0) return entry.handle;
  }
  return CK_INVALID_HANDLE;
}

bool KeyMap::holds(uint32_t key_id) const { return handle_of(key_id) != CK_INVALID_HANDLE; }

void KeyMap::clear(size_t index) {
  entries_[index] = KeyMapEntry{};
  if (!owners_.empty()) owners_[index] = KeyOwner{};
}

void KeyMap::forget(uint32_t key_id) {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].key_id == key_id && entries_[i].handle != 0) {
      clear(i);
      return;
    }
  }
}

void KeyMap::forget_token(uint32_t token) {
  for (size_t i = 0; i < entries_.size(); ++i) {
    bool owned_by_other = !owners_.empty() && owners_[i].known == 1 && owners_[i].token != token;
    if (!owned_by_other) clear(i);
  }
}

void KeyMap::wipe() {
  for (size_t i = 0; i < entries_.size(); ++i) clear(i);
}

// ---- Provider ------------------------------------------------------------

Provider::Provider() = default;
Provider::~Provider() = default;

std::span<ContextRecord> Provider::records() const {
  if (!context_map_) return {};
  return {static_cast<ContextRecord*>(context_map_->data()),
          std::min(kContextRecords, context_map_->size() / sizeof(ContextRecord))};
}

std::span<KeyMapEntry> Provider::key_map_entries() const {
  if (!key_map_) return {};
  return {static_cast<KeyMapEntry*>(key_map_->data()), std::min(kKeyMapEntries, key_map_->size() / sizeof(KeyMapEntry))};
}

std::span<KeyOwner> Provider::key_owners() const {
  if (!key_owners_) return {};
  return {static_cast<KeyOwner*>(key_owners_->data()), std::min(kKeyMapEntries, key_owners_->size() / sizeof(KeyOwner))};
}

void Provider::remember_serial(const CK_UTF8CHAR (&serial)[16]) { std::copy(serial, serial + 16, serial_); }

// The module named by "General"/"SOFTTOK": loaded, its function list taken.
bool Provider::load_token_module(std::string* reason) {
  char name[256] = {};
  ZYPGetProfileString("General", "SOFTTOK", "SOFTTOK.DLL", name, sizeof name);
  software_token_ = names_software_token(name);
  std::string error;
  module_ = platform::load_module(name, &error);
  if (!module_) {
    *reason = describe_module(name) + " cannot be loaded: " + error;
    return false;
  }
  auto get_function_list =
      reinterpret_cast<CK_C_GetFunctionList>(platform::module_symbol(module_, "C_GetFunctionList"));
  if (!get_function_list) {
    *reason = describe_module(name) + " is not a PKCS #11 module: it has no C_GetFunctionList";
    return false;
  }
  CK_FUNCTION_LIST_PTR functions = nullptr;
  if (get_function_list(&functions) != CKR_OK || !functions || !complete(*functions)) {
    ZYPTrace(kTraceLoad, "%s %s:C_GetFunctionList error", kLoadModule, name);
    *reason = describe_module(name) + " refused to give a complete function list (C_GetFunctionList)";
    return false;
  }
  functions_ = functions;
  return true;
}

void Provider::unload_token_module() {
  if (module_) platform::unload_module(module_);
  module_ = nullptr;
  functions_ = nullptr;
}

// The first process creates both maps; later ones open them by name. A map
// that cannot be had leaves the process without it.
void Provider::open_maps(bool first) {
  if (first) {
    context_map_ = platform::SharedMemory::create(kContextMapName, kContextMapSize);
    key_map_ = platform::SharedMemory::create(kKeyMapName, kKeyMapSize);
    key_owners_ = platform::SharedMemory::create(kKeyOwnerMapName, kKeyOwnersSize);
  } else {
    context_map_ = platform::SharedMemory::open(kContextMapName);
    key_map_ = platform::SharedMemory::open(kKeyMapName);
    key_owners_ = platform::SharedMemory::open(kKeyOwnerMapName);
  }
}

void Provider::close_all_sessions() {
  for (ContextRecord& record : records()) {
    if (record.in_use == 1) close_token_session(*this, record.token);
  }
}

// ---- Attach and detach ---------------------------------------------------

Provider* provider() { return g_provider.load(); }

std::string load_failure() {
  std::lock_guard guard(g_load_failure_lock);
  return g_load_failure;
}

uint32_t now_seconds() { return static_cast<uint32_t>(std::time(nullptr)); }

bool attach_process() {
  if (g_provider.load()) return true;
  ZYPTrace(kTraceLoad, "--> %s ", kDllMain);
  std::unique_ptr<Provider> p(new (std::nothrow) Provider);
  if (!p) return false;
  p->resources_ = ZYPLoadResource("ZYPPROV");
  if (!p->resources_) ZYPTrace(kTraceLoad, "%s ZYPLoadResource error", kDllMain);
  try {
    p->shared_ = std::make_unique<platform::SharedBlock<SharedVariables>>(kSharedVariablesName);
  } catch (...) {
  }
  if (!p->shared_ || !p->shared_->attached()) {
    free_resources(p->resources_);
    return false;
  }
  p->first_ = add_to_load_count(p->shared(), 1) == 1;
  // Every process loads the module itself: its function list is an address
  // in this process. Only the first one's C_Initialize starts the module;
  // later ones find it started (modules with per-process state start here).
  std::string reason;
  bool loaded = false;
  try {
    loaded = p->load_token_module(&reason);
  } catch (...) {
    reason.clear();  // out of memory: the trace above is all there is
  }
  if (!loaded) {
    free_resources(p->resources_);
    p->unload_token_module();
    ZYPTrace(kTraceLoad, "%s ZYPLoadPKCSModule error", kDllMain);
    ZYPTrace(kTraceLoad, "%s %s", kLoadModule, reason.c_str());
    set_load_failure(std::move(reason));
    add_to_load_count(p->shared(), -1);
    return false;
  }
  set_load_failure({});
  p->initialised_here_ = p->p11().C_Initialize(nullptr) == CKR_OK;
  if (p->first_) reload_config(p->shared());
  p->open_maps(p->first_);
  if (p->first_) {
    for (ContextRecord& record : p->records()) record.in_use = 0;
    p->key_map().wipe();
    try {
      p->watchers_ = std::make_unique<Watchers>(*p);
    } catch (...) {
      // Without watchers sessions are only closed on request.
    }
  }
  g_provider.store(p.release());
  ZYPTrace(kTraceLoad, "<-- %s ", kDllMain);
  return true;
}

// The watchers stop first, so that nothing else touches the sessions while
// the last process closes them; the maps go only after that.
void detach_process() {
  Provider* p = g_provider.exchange(nullptr);
  if (!p) return;
  bool last = add_to_load_count(p->shared(), -1) == 0;
  free_resources(p->resources_);
  p->watchers_.reset();
  if (last) p->close_all_sessions();
  p->context_map_.reset();
  p->key_map_.reset();
  p->key_owners_.reset();
  if (last || (p->initialised_here_ && !p->first_)) p->p11().C_Finalize(nullptr);
  p->unload_token_module();
  delete p;
}

}  // namespace zyp::prov
