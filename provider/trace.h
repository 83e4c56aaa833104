#pragma once
// Trace levels of the provider's ZYPTrace lines.
#include <cstdint>

#include "provider/p11.h"
#include "zyp/zyptools.h"

namespace zyp::prov {

inline constexpr uint32_t kTraceFailure = 1;  // an operation failed
inline constexpr uint32_t kTraceLoad = 4;     // library load and unload
inline constexpr uint32_t kTraceFatal = 8;    // the registration of all keys failed

// PKCS #11 return values are traced with %X, as 32-bit numbers.
inline unsigned hex(CK_RV rv) { return static_cast<unsigned>(rv); }

}  // namespace zyp::prov
