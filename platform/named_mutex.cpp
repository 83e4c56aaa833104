#include "platform/named_mutex.h"

#include <sys/file.h>
#include <unistd.h>

#include <fcntl.h>

#include <limits>
#include <new>
#include <system_error>

#include "platform/last_error.h"
#include "platform/object_files.h"

namespace zyp::platform {
namespace {

constexpr uint32_t kErrorNotOwner = 288;
constexpr std::string_view kPresenceSuffix = ".mutex";
constexpr std::string_view kOwnerSuffix = ".mutex.owner";

}  // namespace

NamedMutex::NamedMutex(std::string name, std::unique_ptr<objects::HeldObjectFile> presence, int owner_fd)
    : name_(std::move(name)), presence_(std::move(presence)), owner_fd_(owner_fd) {}

NamedMutex::~NamedMutex() {
  ::close(owner_fd_);  // an owner that closes without releasing frees the mutex, as a dying one does
  // presence_ goes next, releasing this handle's hold on the mutex
}

std::unique_ptr<NamedMutex> NamedMutex::attach(std::string_view name, bool create, bool* existed,
                                               std::string* error) {
  try {
    auto presence_path = objects::object_file(name, kPresenceSuffix, error);
    auto owner_path = objects::object_file(name, kOwnerSuffix, error);
    if (!presence_path || !owner_path) return nullptr;
    bool joined = !create;
    objects::UniqueFd presence = create ? objects::hold_object_file(*presence_path, 0, {}, &joined, error)
                                        : objects::hold_existing_object_file(*presence_path, error);
    if (!presence) return nullptr;
    if (existed) *existed = joined;
    auto held = std::make_unique<objects::HeldObjectFile>(std::move(presence), std::move(*presence_path), joined);
    objects::UniqueFd owner = objects::open_object_file(*owner_path, true, error);
    if (!owner) return nullptr;
    std::unique_ptr<NamedMutex> mutex(new NamedMutex(std::string(name), std::move(held), owner.get()));
    owner.release();
    return mutex;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<NamedMutex> NamedMutex::create(std::string_view name, bool initially_owned, bool* already_existed,
                                               std::string* error) {
  bool existed = false;
  auto mutex = attach(name, true, &existed, error);
  if (!mutex) return nullptr;
  // A creator that raced us between the two locks owns it already: then we
  // did not create it after all.
  if (initially_owned && !existed && mutex->wait(0) != WaitResult::Signaled) existed = true;
  if (already_existed) *already_existed = existed;
  set_last_error(existed ? kErrorAlreadyExists : kErrorSuccess);
  return mutex;
}

std::unique_ptr<NamedMutex> NamedMutex::open(std::string_view name, std::string* error) {
  return attach(name, false, nullptr, error);
}

bool NamedMutex::held_by_another_process(std::string_view name) {
  try {
    auto path = objects::object_file(name, kOwnerSuffix, nullptr);
    if (!path) return false;
    objects::UniqueFd probe(::open(path->c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!probe) return false;  // never created: nobody can own it
    return objects::lock_file(probe.get(), LOCK_EX, objects::Deadline(0)) == WaitResult::Timeout;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return false;
  }
}

WaitResult NamedMutex::wait(uint32_t timeout_ms) {
  try {
    objects::Deadline deadline(timeout_ms);
    std::unique_lock lock(state_);
    const auto me = std::this_thread::get_id();
    if (owner_ == me) {
      if (recursion_ == std::numeric_limits<uint32_t>::max()) {
        set_last_error(kErrorInvalidParameter);
        return WaitResult::Failed;
      }
      ++recursion_;
      return WaitResult::Signaled;
    }
    if ((owner_ != std::thread::id() || !line_.empty()) && !wait_in_line(lock, deadline)) {
      set_last_error(kErrorTimeout);
      return WaitResult::Timeout;
    }
    // Our turn in this process; keep it reserved while the file lock is
    // fought over with other processes, without blocking state_.
    owner_ = me;
    lock.unlock();
    WaitResult result = objects::lock_file(owner_fd_, LOCK_EX, deadline);
    lock.lock();
    if (result == WaitResult::Signaled) {
      recursion_ = 1;
      return result;
    }
    owner_ = std::thread::id();
    if (!line_.empty()) turn_.notify_all();
    return result;
  } catch (const std::system_error& failure) {
    set_last_error(win_error_from_errno(failure.code().value()));
    return WaitResult::Failed;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return WaitResult::Failed;
  }
}

// Queues the calling thread behind the threads of this process that wait
// already, until none of them is ahead and nobody here owns the mutex. False
// when the deadline passes first. Every waiter is woken at each turn and
// only the first in line goes on; waiting threads are few.
bool NamedMutex::wait_in_line(std::unique_lock<std::mutex>& lock, const objects::Deadline& deadline) {
  const uint64_t ticket = next_ticket_++;
  line_.push_back(ticket);
  auto my_turn = [&] { return owner_ == std::thread::id() && line_.front() == ticket; };
  bool turn = true;
  if (deadline.infinite()) {
    turn_.wait(lock, my_turn);
  } else {
    turn = turn_.wait_until(lock, deadline.when(), my_turn);
  }
  std::erase(line_, ticket);
  if (!turn && !line_.empty()) turn_.notify_all();  // the next in line may go now
  return turn;
}

bool NamedMutex::release() {
  try {
    std::lock_guard lock(state_);
    if (owner_ != std::this_thread::get_id() || recursion_ == 0) {
      set_last_error(kErrorNotOwner);
      return false;
    }
    if (--recursion_ > 0) return true;
    ::flock(owner_fd_, LOCK_UN);
    owner_ = std::thread::id();
    if (!line_.empty()) turn_.notify_all();
    return true;
  } catch (const std::system_error& failure) {
    set_last_error(win_error_from_errno(failure.code().value()));
    return false;
  }
}

}  // namespace zyp::platform
