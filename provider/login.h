#pragma once
// The login service under the PIN dialogs: opens a logged-in session on a
// token with a PIN the caller already has. Not exported; the dialogs and the
// tests call it.
#include <cstdint>
#include <span>

#include "provider/frame.h"

namespace zyp::prov {

// Takes a context record for the token, opens a R/W serial session, logs
// the user in, marks the record logged in, registers the keys of every
// logged-in token (encryption, then signature algorithms), reports the
// token's session state 0 and remembers its serial number.
// CKR_OK when it logged in; CKR_USER_ALREADY_LOGGED_IN when the token had a
// usable session already (nothing is done then); CKR_SESSION_COUNT when no
// context record is free; CKR_CRYPTOKI_NOT_INITIALIZED when the provider is
// not attached; else the failing C_OpenSession or C_Login value (the record
// is released again).
CK_RV login_with_pin(uint32_t token, std::span<const uint8_t> pin);

// The pieces of a login, for the PIN dialogs. The caller holds the
// provider's lock.
//
// The token's in-use record, else a free one, marked in use and not logged
// in; null when none is free.
ContextRecord* take_record(Provider& provider, uint32_t token);
// Back to free: no session, not logged in, not in use.
void release_record(ContextRecord& record);
// C_OpenSession (R/W, serial) on the record's token; the handle goes into the
// record on success.
CK_RV open_record_session(Provider& provider, ContextRecord& record);
// C_Login results that leave the user logged in.
bool login_succeeded(CK_RV rv);
void mark_logged_in(Provider& provider, ContextRecord& record);
// What follows every login: the keys are registered, the token's session
// state becomes 0 and its serial number is remembered.
void finish_login(Provider& provider, uint32_t token);

// Registers every key of the algorithm type on the tokens with a logged-in
// session; false (with a level-8 trace) when a listing fails.
bool register_all_keys(Provider& provider, uint16_t type);

}  // namespace zyp::prov
