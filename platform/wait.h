#pragma once
// Results and time limits shared by the waits on named mutexes and events.
#include <cstdint>

namespace zyp::platform {

// A wait without a time limit (INFINITE). A limit of 0 only tests the object.
inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

enum class WaitResult {
  Signaled,  // the mutex is now owned, or the event was set
  Timeout,   // the time limit passed first (last_error() 1460)
  Failed,    // the wait could not be carried out; last_error() tells why
};

}  // namespace zyp::platform
