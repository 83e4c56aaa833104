#include "token/slots.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/drives.h"
#include "platform/object_files.h"
#include "platform/shared_memory.h"

namespace zyp::softtok {
namespace {

constexpr char kSharedAreaName[] = "SOFTTOK_SHARED";
constexpr char kUsersSuffix[] = ".users";
constexpr std::string_view kManufacturer = "Fenwarild Inc(tm)";
constexpr CK_VERSION kHardwareVersion{0, 0};
constexpr CK_VERSION kFirmwareVersion{1, 1};

enum TablesState : uint32_t { kTablesEmpty = 0, kTablesFilling = 1, kTablesReady = 2 };
constexpr int kFillWaitTries = 1000;
constexpr size_t kMaxUsers = 128;

// A process that uses the module: it has initialised it or holds sessions.
// The module counts as initialised while any of them has initialised it, and
// a token's session counts are the sums over them. A process is known by its
// id and start time, so an entry whose process is gone (killed, or exited
// without finalising) stops counting, also when its id is reused.
struct ProcessUse {
  int32_t pid;  // 0: a free entry
  uint32_t initialised;
  uint64_t start_time;
  uint32_t sessions[kSlotCount];
  uint32_t rw_sessions[kSlotCount];
};

// The block is zeroed when no live process has it attached; the first
// process to find the tables empty fills them and publishes them last. The
// session counts in `tokens` stay zero: the live ones are in `users`.
struct SharedArea {
  uint32_t tables_state;
  uint32_t attach_count;
  uint32_t slot_events[kSlotCount];
  CK_SLOT_INFO slots[kSlotCount];
  CK_TOKEN_INFO tokens[kSlotCount];
  CK_MECHANISM_TYPE mechanisms[kSlotCount][kMechanismsPerSlot];
  ProcessUse users[kMaxUsers];
};

struct SlotRow {
  std::string_view description;
  CK_FLAGS flags;
};

struct TokenRow {
  std::string_view model;
  CK_ULONG max_sessions;
  CK_ULONG max_rw_sessions;
  CK_ULONG min_pin;
  CK_ULONG max_pin;
};

constexpr std::array<SlotRow, kSlotCount> kSlotRows{{
    {"File", CKF_REMOVABLE_DEVICE},
    {"Floppy disk", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT},
    {"Smartcard", CKF_REMOVABLE_DEVICE | CKF_HW_SLOT},
}};

constexpr std::array<TokenRow, kSlotCount> kTokenRows{{
    {"Cache token", 1, 1, 4, 32},
    {"Floppy token", 0, 0, 4, 32},
    {"Smartcard token", 0, 0, 4, 8},
}};

constexpr std::array<CK_MECHANISM_TYPE, kMechanismsPerSlot> kSlotMechanisms{
    CKM_DES_KEY_GEN_40, CKM_DES_40_CBC, CKM_SHA_1, CKM_RSA_PKCS, CKM_RSA_PKCS_KEY_PAIR_GEN,
};

struct MechanismRow {
  CK_MECHANISM_TYPE type;
  CK_MECHANISM_INFO info;
};

constexpr CK_FLAGS kCipherFlags = CKF_ENCRYPT | CKF_DECRYPT;
constexpr MechanismRow kMechanismRows[] = {
    {CKM_RSA_PKCS_KEY_PAIR_GEN, {512, 1024, CKF_WRAP | CKF_UNWRAP}},
    {CKM_RSA_PKCS, {512, 1024, CKF_WRAP | CKF_UNWRAP}},
    {CKM_DES_KEY_GEN, {64, 64, CKF_GENERATE}},
    {CKM_CS_CIPHER_64_KEY_GEN, {64, 64, CKF_GENERATE}},
    {CKM_DES2_KEY_GEN, {128, 128, CKF_GENERATE}},
    {CKM_CS_CIPHER_128_KEY_GEN, {128, 128, CKF_GENERATE}},
    {CKM_DES3_KEY_GEN, {192, 192, CKF_GENERATE}},
    {CKM_CS_CIPHER_40_KEY_GEN, {40, 40, CKF_GENERATE}},
    {CKM_DES_KEY_GEN_40, {40, 40, CKF_GENERATE}},
    {CKM_DES_CBC, {64, 64, kCipherFlags}},
    {CKM_DES3_CBC, {64, 64, kCipherFlags}},
    {CKM_CS_CIPHER_40, {64, 64, kCipherFlags}},
    {CKM_CS_CIPHER_64, {64, 64, kCipherFlags}},
    {CKM_CS_CIPHER_128, {64, 64, kCipherFlags}},
    {CKM_DES_40_CBC, {64, 64, kCipherFlags}},
    {CKM_DES2_CBC, {64, 64, kCipherFlags}},
    {CKM_SHA_1, {0, 0, CKF_DIGEST}},
};

struct Attachment {
  explicit Attachment(std::string users) : block(kSharedAreaName), users_path(std::move(users)) {}
  platform::SharedBlock<SharedArea> block;
  std::string users_path;  // the object whose guard locks `users`
};

Attachment* g_attachment = nullptr;

// This process while it has the module initialised: the one test that every
// call makes needs neither the lock nor the process table then. A forked
// child has another id, so it does not inherit its parent's initialisation.
std::atomic<pid_t> g_initialised_by{0};

SharedArea* area() { return g_attachment ? g_attachment->block.get() : nullptr; }

template <class T>
std::atomic_ref<T> atomic(T& value) {
  return std::atomic_ref<T>(value);
}

// Copies `text` into a fixed character field and fills the rest with blanks.
template <size_t N>
void put_text(unsigned char (&field)[N], std::string_view text) {
  size_t used = std::min(N, text.size());
  std::memcpy(field, text.data(), used);
  std::memset(field + used, ' ', N - used);
}

void fill_tables(SharedArea& shared) {
  for (CK_SLOT_ID slot = 0; slot < kSlotCount; ++slot) {
    CK_SLOT_INFO& info = shared.slots[slot];
    put_text(info.slotDescription, kSlotRows[slot].description);
    put_text(info.manufacturerID, kManufacturer);
    info.flags = kSlotRows[slot].flags;
    info.hardwareVersion = kHardwareVersion;
    info.firmwareVersion = kFirmwareVersion;

    CK_TOKEN_INFO& token = shared.tokens[slot];
    const TokenRow& row = kTokenRows[slot];
    put_text(token.label, "");
    put_text(token.manufacturerID, kManufacturer);
    put_text(token.model, row.model);
    put_text(token.serialNumber, "0000000000000000");
    token.flags = CKF_LOGIN_REQUIRED;
    token.ulMaxSessionCount = row.max_sessions;
    token.ulMaxRwSessionCount = row.max_rw_sessions;
    token.ulMinPinLen = row.min_pin;
    token.ulMaxPinLen = row.max_pin;
    token.hardwareVersion = kHardwareVersion;
    token.firmwareVersion = kFirmwareVersion;
    put_text(token.utcTime, "");

    std::copy(kSlotMechanisms.begin(), kSlotMechanisms.end(), shared.mechanisms[slot]);
  }
}

void make_tables_ready(SharedArea& shared) {
  auto state = atomic(shared.tables_state);
  uint32_t expected = kTablesEmpty;
  if (state.compare_exchange_strong(expected, kTablesFilling)) {
    fill_tables(shared);
    state.store(kTablesReady);
    return;
  }
  // Another process is filling them; should it have died doing so, the
  // tables are filled here after a while (their contents are fixed).
  for (int tries = 0; state.load() != kTablesReady; ++tries) {
    if (tries == kFillWaitTries) {
      fill_tables(shared);
      state.store(kTablesReady);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

using platform::objects::ProcessIdentity;

bool same_process(const ProcessUse& use, const ProcessIdentity& process) {
  return use.pid == process.pid && use.start_time == process.start_time;
}

bool in_use(const ProcessUse& use) {
  if (use.initialised) return true;
  for (CK_SLOT_ID slot = 0; slot < kSlotCount; ++slot) {
    if (use.sessions[slot] || use.rw_sessions[slot]) return true;
  }
  return false;
}

// The process table, locked against every other process and thread for as
// long as the object lives (the kernel drops the lock of a holder that dies),
// with the entries of processes that are gone already freed.
class LockedUsers {
 public:
  LockedUsers() : shared_(area()) {
    if (!shared_) return;
    lock_.emplace(g_attachment->users_path, nullptr);
    if (!*lock_) return;
    self_ = platform::objects::current_process();
    if (!self_) return;
    for (ProcessUse& use : shared_->users) {
      if (use.pid == 0) continue;
      if (same_process(use, *self_)) {
        mine_ = &use;
      } else if (!platform::objects::is_running({use.pid, use.start_time})) {
        use = ProcessUse{};
      }
    }
  }

  bool ready() const { return self_.has_value(); }
  pid_t self() const { return self_->pid; }

  // This process's entry; a new one when `make`. Null when it has none, or
  // when the table is full.
  ProcessUse* mine(bool make) {
    if (mine_ || !make) return mine_;
    for (ProcessUse& use : shared_->users) {
      if (use.pid != 0) continue;
      use = ProcessUse{self_->pid, 0, self_->start_time, {}, {}};
      mine_ = &use;
      break;
    }
    return mine_;
  }

  // Frees this process's entry once it neither has the module initialised
  // nor holds sessions.
  void forget_unused() {
    if (mine_ && !in_use(*mine_)) *mine_ = ProcessUse{};
  }

  bool anyone_initialised() const {
    return std::any_of(std::begin(shared_->users), std::end(shared_->users),
                       [](const ProcessUse& use) { return use.pid != 0 && use.initialised; });
  }

  CK_ULONG sessions(CK_SLOT_ID slot) const { return total(&ProcessUse::sessions, slot); }
  CK_ULONG rw_sessions(CK_SLOT_ID slot) const { return total(&ProcessUse::rw_sessions, slot); }

 private:
  CK_ULONG total(uint32_t (ProcessUse::*counts)[kSlotCount], CK_SLOT_ID slot) const {
    CK_ULONG sum = 0;
    for (const ProcessUse& use : shared_->users) sum += (use.*counts)[slot];
    return sum;
  }

  SharedArea* shared_;
  std::optional<platform::objects::ObjectGuard> lock_;
  std::optional<ProcessIdentity> self_;
  ProcessUse* mine_ = nullptr;
};

void update_floppy_presence(SharedArea& shared) {
  bool present = platform::key_disk_present();
  std::optional<uint32_t> serial = present ? platform::key_disk_volume_serial() : std::nullopt;
  if (serial) put_text(shared.tokens[kFloppySlot].serialNumber, platform::format_volume_serial(*serial));
  auto flags = atomic(shared.slots[kFloppySlot].flags);
  CK_FLAGS before = present ? flags.fetch_or(CKF_TOKEN_PRESENT) : flags.fetch_and(~CKF_TOKEN_PRESENT);
  if (((before & CKF_TOKEN_PRESENT) != 0) != present) atomic(shared.slot_events[kFloppySlot]).store(1);
}

}  // namespace

void attach_shared_area() {
  if (g_attachment) return;
  auto users_path = platform::objects::object_file(kSharedAreaName, kUsersSuffix, nullptr);
  if (!users_path) return;
  auto attachment = std::make_unique<Attachment>(std::move(*users_path));
  if (!attachment->block.attached()) return;
  make_tables_ready(*attachment->block.get());
  atomic(attachment->block->attach_count).fetch_add(1);
  g_attachment = attachment.release();
}

void detach_shared_area() {
  if (!g_attachment) return;
  {
    LockedUsers users;
    if (ProcessUse* mine = users.ready() ? users.mine(false) : nullptr) *mine = ProcessUse{};
  }
  g_initialised_by.store(0);
  atomic(g_attachment->block->attach_count).fetch_sub(1);
  delete g_attachment;
  g_attachment = nullptr;
}

bool cryptoki_initialised() {
  pid_t by = g_initialised_by.load();
  if (by != 0 && by == platform::objects::current_pid()) return true;
  LockedUsers users;
  return users.ready() && users.anyone_initialised();
}

CK_RV initialise_cryptoki() {
  LockedUsers users;
  if (!users.ready()) return CKR_GENERAL_ERROR;
  ProcessUse* mine = users.mine(true);
  if (!mine) return CKR_HOST_MEMORY;
  if (mine->initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  // A process that finds the module initialised by another is told so, and
  // counts as a user of its own from now on.
  bool already = users.anyone_initialised();
  mine->initialised = 1;
  g_initialised_by.store(users.self());
  return already ? CKR_CRYPTOKI_ALREADY_INITIALIZED : CKR_OK;
}

void finalise_cryptoki() {
  LockedUsers users;
  if (!users.ready()) return;
  pid_t self = users.self();
  g_initialised_by.compare_exchange_strong(self, 0);
  if (ProcessUse* mine = users.mine(false)) {
    mine->initialised = 0;
    users.forget_unused();
  }
}

bool token_present(CK_SLOT_ID slot) {
  SharedArea* shared = area();
  if (!shared) return false;
  switch (slot) {
    case kFileSlot:
      return true;
    case kFloppySlot:
      update_floppy_presence(*shared);
      return (atomic(shared->slots[kFloppySlot].flags).load() & CKF_TOKEN_PRESENT) != 0;
    default:
      return false;
  }
}

void get_slot_info(CK_SLOT_ID slot, CK_SLOT_INFO& info) {
  bool present = token_present(slot);
  info = area()->slots[slot];
  info.flags = present ? info.flags | CKF_TOKEN_PRESENT : info.flags & ~CKF_TOKEN_PRESENT;
}

CK_RV get_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO& info) {
  if (!token_present(slot)) return CKR_TOKEN_NOT_PRESENT;
  LockedUsers users;
  if (!users.ready()) return CKR_GENERAL_ERROR;
  info = area()->tokens[slot];
  info.ulSessionCount = users.sessions(slot);
  info.ulRwSessionCount = users.rw_sessions(slot);
  return CKR_OK;
}

std::span<const CK_MECHANISM_TYPE> slot_mechanisms(CK_SLOT_ID slot) {
  SharedArea* shared = area();
  if (!shared || !valid_slot(slot)) return {};
  return shared->mechanisms[slot];
}

bool slot_lists(CK_SLOT_ID slot, CK_MECHANISM_TYPE type) {
  auto listed = slot_mechanisms(slot);
  return std::find(listed.begin(), listed.end(), type) != listed.end();
}

const CK_MECHANISM_INFO* mechanism_info(CK_MECHANISM_TYPE type) {
  for (const MechanismRow& row : kMechanismRows) {
    if (row.type == type) return &row.info;
  }
  return nullptr;
}

CK_RV reserve_session(CK_SLOT_ID slot, bool read_write) {
  LockedUsers users;
  if (!users.ready()) return CKR_GENERAL_ERROR;
  const CK_TOKEN_INFO& token = area()->tokens[slot];
  if (read_write) {
    if (users.rw_sessions(slot) + 1 > token.ulMaxRwSessionCount) return CKR_SESSION_COUNT;
  } else {
    if (users.sessions(slot) + 1 > token.ulMaxSessionCount) return CKR_SESSION_COUNT;
    if (users.rw_sessions(slot) != 0) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  }
  ProcessUse* mine = users.mine(true);
  if (!mine) return CKR_HOST_MEMORY;
  ++(read_write ? mine->rw_sessions : mine->sessions)[slot];
  return CKR_OK;
}

void release_session(CK_SLOT_ID slot, bool read_write) noexcept {
  try {
    LockedUsers users;
    ProcessUse* mine = users.ready() ? users.mine(false) : nullptr;
    if (!mine) return;
    if (read_write && mine->rw_sessions[slot] != 0) {
      --mine->rw_sessions[slot];
    } else if (mine->sessions[slot] != 0) {
      --mine->sessions[slot];
    }
    users.forget_unused();
  } catch (...) {
    // Without the lock the count stays with this process until it goes.
  }
}

std::optional<CK_SLOT_ID> pending_slot_event() {
  SharedArea* shared = area();
  if (!shared) return std::nullopt;
  std::optional<CK_SLOT_ID> event;
  for (CK_SLOT_ID slot = 0; slot < kSlotCount; ++slot) {
    token_present(slot);
    if (atomic(shared->slot_events[slot]).load() != 0) event = slot;
  }
  return event;
}

}  // namespace zyp::softtok
