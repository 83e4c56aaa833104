#pragma once
// Named mutex (CreateMutex/OpenMutex/WaitForSingleObject/ReleaseMutex).
//
// Ownership is an exclusive flock on the file `<name>.mutex.owner` under the
// runtime folder, so the kernel frees the mutex the moment its owner exits or
// is killed. Each handle also holds `<name>.mutex` the way a shared block is
// held (platform/object_files.h), which tells whether any live process has
// the mutex open.
//
// As on Windows, a mutex is owned by a thread and is recursive for it: every
// successful wait needs its release. Threads sharing one NamedMutex exclude
// each other, and so do two NamedMutex objects of the same name, in one
// process or in several. Threads sharing one NamedMutex take their turns in
// the order they came, so a thread that releases and at once waits again
// goes behind those already waiting instead of keeping them waiting. A
// thread that owns the mutex through one object and waits through another
// object of the same name waits for itself.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/wait.h"

namespace zyp::platform {
namespace objects {
class Deadline;
class HeldObjectFile;
}

class NamedMutex {
 public:
  // Opens `name`, creating it when no live process has it open.
  // *already_existed (when given) tells whether some live handle had it open,
  // in this process or another. `initially_owned` gives the calling thread
  // ownership only when the mutex is new; a caller that finds it existing
  // gets a handle without ownership, as on Windows (the unique-instance test
  // of the server and the tray). Null on failure, with last_error() set.
  static std::unique_ptr<NamedMutex> create(std::string_view name, bool initially_owned,
                                            bool* already_existed = nullptr, std::string* error = nullptr);

  // Opens `name` only when a live process has it open; otherwise null with
  // last_error() 2.
  static std::unique_ptr<NamedMutex> open(std::string_view name, std::string* error = nullptr);

  // True when the mutex is owned right now by a live process other than the
  // caller's probe (for example a running server holding its unique mutex).
  static bool held_by_another_process(std::string_view name);

  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Takes ownership for the calling thread within `timeout_ms` (kInfinite:
  // no limit, 0: only try). A mutex left by a dead owner is simply taken.
  WaitResult wait(uint32_t timeout_ms);

  // Gives one level of ownership back; false (last_error() 288) when the
  // calling thread does not own the mutex.
  bool release();

  const std::string& name() const { return name_; }

 private:
  NamedMutex(std::string name, std::unique_ptr<objects::HeldObjectFile> presence, int owner_fd);
  static std::unique_ptr<NamedMutex> attach(std::string_view name, bool create, bool* existed, std::string* error);

  std::string name_;
  std::unique_ptr<objects::HeldObjectFile> presence_;
  int owner_fd_;

  bool wait_in_line(std::unique_lock<std::mutex>& lock, const objects::Deadline& deadline);

  // Which thread of this process owns the mutex (or is taking the file lock
  // for it) and how often, and the tickets of the threads waiting for their
  // turn, first come first; guarded by state_.
  std::mutex state_;
  std::condition_variable turn_;
  std::thread::id owner_;
  uint32_t recursion_ = 0;
  uint64_t next_ticket_ = 0;
  std::deque<uint64_t> line_;
};

}  // namespace zyp::platform
