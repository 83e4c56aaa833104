#pragma once
// Named event, auto-reset or manual-reset (CreateEvent/OpenEvent/SetEvent/
// ResetEvent/WaitForSingleObject).
//
// The event is a small shared block (platform/shared_memory.h) under the
// runtime folder holding a "signaled" word and a count of sets; waiters sleep
// on the count with a process-shared futex. No lock is ever held across a
// wait, so a waiter or setter that is killed cannot leave the event stuck.
//
// Auto-reset: a set wakes the waiters and exactly one of them takes the
// signal, which clears it; with nobody waiting the event stays set until one
// wait takes it. Setting an event that is already set changes nothing.
// Manual-reset: a set releases every waiter, including those that only wake
// after a reset that followed it at once, and the event stays set until reset.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/shared_memory.h"
#include "platform/wait.h"

namespace zyp::platform {

class NamedEvent {
 public:
  // Opens `name`, creating it when no live process has it open. An existing
  // event keeps its own kind and state (the arguments apply to a new one) and
  // *already_existed (when given) is set. Null on failure, with last_error().
  static std::unique_ptr<NamedEvent> create(std::string_view name, bool manual_reset, bool initially_set,
                                            bool* already_existed = nullptr, std::string* error = nullptr);

  // Opens `name` only when a live process has it open; otherwise null with
  // last_error() 2.
  static std::unique_ptr<NamedEvent> open(std::string_view name, std::string* error = nullptr);

  bool set();
  bool reset();

  // Waits until the event is set (and, for an auto-reset event, takes the
  // signal) within `timeout_ms` (kInfinite: no limit, 0: only test).
  WaitResult wait(uint32_t timeout_ms);

  bool manual_reset() const;
  const std::string& name() const { return block_->name(); }

 private:
  explicit NamedEvent(std::unique_ptr<SharedMemory> block) : block_(std::move(block)) {}
  std::unique_ptr<SharedMemory> block_;
};

}  // namespace zyp::platform
