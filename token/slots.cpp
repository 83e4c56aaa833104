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
#include "platform/shared_memory.h"

namespace zyp::softtok {
namespace {

constexpr char kSharedAreaName[] = "SOFTTOK_SHARED";
constexpr std::string_view kManufacturer = "Fenwarild Inc(tm)";
constexpr CK_VERSION kHardwareVersion{0, 0};
constexpr CK_VERSION kFirmwareVersion{1, 1};

enum TablesState : uint32_t { kTablesEmpty = 0, kTablesFilling = 1, kTablesReady = 2 };
constexpr int kFillWaitTries = 1000;

// The block is zeroed when no live process has it attached; the first
// process to find the tables empty fills them and publishes them last.
struct SharedArea {
  uint32_t tables_state;
  uint32_t initialised;
  uint32_t attach_count;
  uint32_t slot_events[kSlotCount];
  CK_SLOT_INFO slots[kSlotCount];
  CK_TOKEN_INFO tokens[kSlotCount];
  CK_MECHANISM_TYPE mechanisms[kSlotCount][kMechanismsPerSlot];
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

platform::SharedBlock<SharedArea>* g_block = nullptr;

SharedArea* area() { return g_block ? g_block->get() : nullptr; }

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

// Decrements a counter unless it is already zero.
bool decrement_if_positive(CK_ULONG& counter) {
  auto count = atomic(counter);
  CK_ULONG value = count.load();
  while (value != 0) {
    if (count.compare_exchange_weak(value, value - 1)) return true;
  }
  return false;
}

// Increments a counter while the result stays within `limit`.
bool increment_within(CK_ULONG& counter, CK_ULONG limit) {
  auto count = atomic(counter);
  CK_ULONG value = count.load();
  while (value + 1 <= limit) {
    if (count.compare_exchange_weak(value, value + 1)) return true;
  }
  return false;
}

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
  if (g_block) return;
  auto block = std::make_unique<platform::SharedBlock<SharedArea>>(kSharedAreaName);
  if (!block->attached()) return;
  make_tables_ready(*block->get());
  atomic(block->get()->attach_count).fetch_add(1);
  g_block = block.release();
}

void detach_shared_area() {
  if (!g_block) return;
  atomic(g_block->get()->attach_count).fetch_sub(1);
  delete g_block;
  g_block = nullptr;
}

bool cryptoki_initialised() {
  SharedArea* shared = area();
  return shared && atomic(shared->initialised).load() != 0;
}

CK_RV initialise_cryptoki() {
  SharedArea* shared = area();
  if (!shared) return CKR_GENERAL_ERROR;
  uint32_t expected = 0;
  return atomic(shared->initialised).compare_exchange_strong(expected, 1) ? CKR_OK : CKR_CRYPTOKI_ALREADY_INITIALIZED;
}

void finalise_cryptoki() {
  if (SharedArea* shared = area()) atomic(shared->initialised).store(0);
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
  CK_TOKEN_INFO& shared = area()->tokens[slot];
  info = shared;
  info.ulSessionCount = atomic(shared.ulSessionCount).load();
  info.ulRwSessionCount = atomic(shared.ulRwSessionCount).load();
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
  CK_TOKEN_INFO& token = area()->tokens[slot];
  if (read_write) {
    return increment_within(token.ulRwSessionCount, token.ulMaxRwSessionCount) ? CKR_OK : CKR_SESSION_COUNT;
  }
  if (atomic(token.ulSessionCount).load() + 1 > token.ulMaxSessionCount) return CKR_SESSION_COUNT;
  if (atomic(token.ulRwSessionCount).load() != 0) return CKR_SESSION_READ_WRITE_SO_EXISTS;
  return increment_within(token.ulSessionCount, token.ulMaxSessionCount) ? CKR_OK : CKR_SESSION_COUNT;
}

void release_session(CK_SLOT_ID slot, bool read_write) {
  SharedArea* shared = area();
  if (!shared) return;
  CK_TOKEN_INFO& token = shared->tokens[slot];
  if (read_write && decrement_if_positive(token.ulRwSessionCount)) return;
  decrement_if_positive(token.ulSessionCount);
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
