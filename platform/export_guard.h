#pragma once
// Keeps C++ exceptions from crossing an exported C boundary: the body's result,
// or `on_failure` when it throws (for example std::bad_alloc).
#include <utility>

namespace zyp::platform {

template <typename Result, typename Body>
Result guarded(Result on_failure, Body&& body) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    return on_failure;
  }
}

}  // namespace zyp::platform
