#pragma once
// The frame around every exported ZYPCIP call: no exception crosses it, the
// provider must be attached, and the call runs under the process lock.
#include <cstdint>
#include <mutex>
#include <new>

#include "platform/export_guard.h"
#include "provider/frame.h"

namespace zyp::prov {

inline constexpr int kOk = 0;
inline constexpr int kTooSmall = 1;
inline constexpr int kCannotGenerate = 3;
inline constexpr int kBadLength = 5;
inline constexpr int kBadKeyLength = 6;
inline constexpr int kNoMemory = 7;
inline constexpr int kTokenFailed = 8;
inline constexpr int kTypeThreeKey = 10;
inline constexpr int kBadSignature = 11;
inline constexpr int kKeyMapFull = 15;
inline constexpr int kUnknownKey = 17;
inline constexpr int kKeyExists = 19;
inline constexpr int kNoTokenModule = 20;

// `unattached` answers when the library is not attached (its token module
// could not be loaded), `failed` when the call throws, `no_memory` when
// memory runs out.
template <typename Body>
int provider_call(int unattached, int failed, int no_memory, Body&& body) noexcept {
  return platform::guarded(failed, [&]() -> int {
    Provider* attached = provider();
    if (!attached) return unattached;
    std::lock_guard guard(attached->lock());
    try {
      return body(*attached);
    } catch (const std::bad_alloc&) {
      return no_memory;
    }
  });
}

// Calls with result codes: 20 without the token module, 7 without memory.
template <typename Body>
int token_call(Body&& body) noexcept {
  return provider_call(kNoTokenModule, kTokenFailed, kNoMemory, static_cast<Body&&>(body));
}

// Calls that answer yes (1) or no (0): no, whatever goes wrong.
template <typename Body>
int yes_no_call(Body&& body) noexcept {
  return provider_call(0, 0, 0, static_cast<Body&&>(body));
}

}  // namespace zyp::prov
