#pragma once
// Lookups in the context map and the ways a token's session is closed.
#include <cstdint>
#include <optional>

#include "provider/frame.h"

namespace zyp::prov {

// The first in-use record of the token; the first record not in use.
ContextRecord* record_of(Provider& provider, uint32_t token);
ContextRecord* free_record(Provider& provider);

// Sets the countdown to the inactivity time and the last use to now.
void refresh_activity(ContextRecord& record, const SharedVariables& shared);

// The session of the token's logged-in record, after refreshing its
// activity; otherwise traces "validSession tokenId = %X failed".
std::optional<CK_SESSION_HANDLE> valid_session(Provider& provider, uint32_t token);
// The same test without trace or refresh.
bool has_valid_session(Provider& provider, uint32_t token);

// Closes the session of the token's in-use record, reports the token as
// without session and clears the token's key map entries. Nothing when
// there is none.
void close_token_session(Provider& provider, uint32_t token);
// Closes one record on behalf of a watcher (logged-in flag first).
void close_record(Provider& provider, ContextRecord& record);

// C_GetSlotInfo succeeds and reports CKF_TOKEN_PRESENT.
bool token_present(Provider& provider, uint32_t token);

}  // namespace zyp::prov
