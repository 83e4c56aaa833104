#pragma once
// The module's process-shared area: the attach count, the slot, token and
// mechanism tables, and the processes that use the module (whether each has
// initialised it, and its session counts), as one block that every process
// loading the module sees. Session records and objects are per process
// (module.h).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "token/pkcs11.h"

namespace zyp::softtok {

inline constexpr CK_SLOT_ID kFileSlot = 0;    // the key store in the data folder
inline constexpr CK_SLOT_ID kFloppySlot = 1;  // the key store on the key disk
inline constexpr CK_SLOT_ID kCardSlot = 2;    // no token behind it
inline constexpr CK_SLOT_ID kSlotCount = 3;
inline constexpr size_t kMechanismsPerSlot = 5;

// Attaches this process to the shared area (at load) and leaves it (at
// unload, which also ends its initialisation). Without the shared area every
// call fails cleanly.
void attach_shared_area();
void detach_shared_area();

// True while some live process has initialised the module and not finalised.
bool cryptoki_initialised();
// Counts this process as initialised. CKR_CRYPTOKI_ALREADY_INITIALIZED when
// it was already, or when another live process had initialised the module;
// CKR_GENERAL_ERROR without the shared area.
CK_RV initialise_cryptoki();
// Ends this process's initialisation only; other processes that initialised
// keep the module initialised.
void finalise_cryptoki();

inline bool valid_slot(CK_SLOT_ID slot) { return slot < kSlotCount; }

// Slot 0 always, slot 1 while the key disk answers, slot 2 never. Testing
// slot 1 keeps its CKF_TOKEN_PRESENT bit and serial number up to date and
// raises its event flag when the bit changes.
bool token_present(CK_SLOT_ID slot);

void get_slot_info(CK_SLOT_ID slot, CK_SLOT_INFO& info);
CK_RV get_token_info(CK_SLOT_ID slot, CK_TOKEN_INFO& info);

std::span<const CK_MECHANISM_TYPE> slot_mechanisms(CK_SLOT_ID slot);
bool slot_lists(CK_SLOT_ID slot, CK_MECHANISM_TYPE type);
// The mechanism's sizes and flags, for any mechanism the module knows.
const CK_MECHANISM_INFO* mechanism_info(CK_MECHANISM_TYPE type);

// Counts a new session of this process against the token's limits, which
// hold for the sessions of all live processes together: CKR_SESSION_COUNT or
// CKR_SESSION_READ_WRITE_SO_EXISTS when it does not fit. The counts of a
// process that is gone no longer count.
CK_RV reserve_session(CK_SLOT_ID slot, bool read_write);
void release_session(CK_SLOT_ID slot, bool read_write) noexcept;

// After a presence test of every slot, the highest slot whose event flag is
// set. Event flags are never cleared.
std::optional<CK_SLOT_ID> pending_slot_event();

}  // namespace zyp::softtok
