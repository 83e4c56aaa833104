#pragma once
// The listing calls, for the exports and for the registration of all keys
// at login. The process lock is held by the caller.
#include <cstdint>

#include "provider/frame.h"
#include "zyp/zypprov.h"

namespace zyp::prov {

int enum_token(Provider& provider, ZYPCIPListEntry* list, uint32_t* count);
int enum_algorithm(Provider& provider, uint32_t token, uint16_t type, ZYPCIPListEntry* list, uint32_t* count);
int enum_key(Provider& provider, uint32_t token, CK_MECHANISM_TYPE mechanism, ZYPCIPListEntry* list,
             uint32_t* count);

}  // namespace zyp::prov
