#pragma once
// Registration of a key the provider has just created on the token.
#include <cstdint>

#include "provider/frame.h"

namespace zyp::prov {

// Computes the new key's identifier and registers it as a key of `token`
// (whose session `session` is): 0 and *key_id; 8 when the identifier cannot
// be computed, 19 when it is registered already, 15 when the key map is
// full. On failure the new object is destroyed again.
int register_new_key(Provider& provider, uint32_t token, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key,
                     uint32_t* key_id);

}  // namespace zyp::prov
