#include "platform/named_event.h"

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <new>

#include "platform/last_error.h"
#include "platform/object_files.h"

namespace zyp::platform {
namespace {

constexpr std::string_view kEventSuffix = ".event";
constexpr uint32_t kEventTag = 0x54564557;  // "WEVT": the block really is an event

// The shared block. Waiters sleep on `sets`, which every set() advances, so a
// set between a waiter's look at `signaled` and its sleep is never missed.
// `sleepers` counts the waiters asleep (or about to sleep) in the kernel, so
// that set() makes the wake-up call only when somebody needs it; a waiter
// killed in its sleep leaves the count too high, which costs no more than a
// needless wake-up call. `setter_cpu` is the processor the last set() ran
// on, plus one (0: not known), which tells a waiter whether watching could
// keep the setter from running.
struct EventWords {
  uint32_t tag;
  uint32_t manual_reset;
  uint32_t signaled;
  uint32_t sets;
  uint32_t sleepers;
  uint32_t setter_cpu;
};
static_assert(sizeof(EventWords) == 24 && offsetof(EventWords, setter_cpu) == 20);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

// How long a wait watches the event before it sleeps. Waking a sleeper takes
// an interrupt to its processor, which costs the setter and the sleeper far
// more than a few microseconds of watching (tens of microseconds under a
// hypervisor); a request and its answer usually come within this time.
constexpr auto kWatchBeforeSleep = std::chrono::microseconds(50);

// A pause between two looks at the clock while watching longer than this
// means the watcher was taken off its processor for other work: the
// processors are busy, and watching on would only take time from that work.
constexpr auto kDescheduledGap = std::chrono::microseconds(20);

// Whether this process may run on more than one processor (checked once): on
// a single one, watching would only keep the setter from running.
bool other_processors_can_set() {
  static const bool several = [] {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) return CPU_COUNT(&allowed) > 1;
    return ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
  }();
  return several;
}

// The calling thread's processor, plus one; 0 when it cannot be told.
uint32_t current_cpu_word() {
  int cpu = ::sched_getcpu();
  return cpu >= 0 ? static_cast<uint32_t>(cpu) + 1 : 0;
}

// Watching is worth it only while the setter can run on another processor
// at the same time. A setter that last ran on the waiter's own processor
// (where the scheduler keeps two processes that hand work to each other
// when the other processors are busy) would have to wait for the watcher
// to give the processor up.
bool setter_may_run_beside_us(const std::atomic_ref<uint32_t>& setter_cpu) {
  if (!other_processors_can_set()) return false;
  uint32_t setter = setter_cpu.load(std::memory_order_relaxed);
  return setter == 0 || setter != current_cpu_word();
}

void relax_processor() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// Watches `sets` for a change from `seen` for a short while (never past the
// deadline); true when it changed. It stops early when the watcher was taken
// off its processor meanwhile.
bool watch_for_set(const std::atomic_ref<uint32_t>& sets, uint32_t seen, const objects::Deadline& deadline) {
  auto now = std::chrono::steady_clock::now();
  auto until = now + kWatchBeforeSleep;
  if (!deadline.infinite()) until = std::min(until, deadline.when());
  while (now < until) {
    for (int i = 0; i < 64; ++i) {
      if (sets.load(std::memory_order_acquire) != seen) return true;
      relax_processor();
    }
    auto before = now;
    now = std::chrono::steady_clock::now();
    if (now - before > kDescheduledGap) return sets.load(std::memory_order_acquire) != seen;
  }
  return false;
}

EventWords& words_of(const SharedMemory& block) { return *static_cast<EventWords*>(block.data()); }

// Sleeps while *word still holds `expected`, at most until the deadline. The
// futex is keyed by the shared file's page, not by this process (no
// FUTEX_PRIVATE_FLAG), so set() in another process wakes it. Returns false
// only when the futex itself fails; waking early is the caller's to check.
bool sleep_on(uint32_t* word, uint32_t expected, const objects::Deadline& deadline) {
  timespec limit{};
  if (!deadline.infinite()) {
    auto left = deadline.remaining().count();
    limit.tv_sec = static_cast<time_t>(left / 1'000'000'000);
    limit.tv_nsec = static_cast<long>(left % 1'000'000'000);
  }
  long rc = ::syscall(SYS_futex, word, FUTEX_WAIT, expected, deadline.infinite() ? nullptr : &limit, nullptr, 0);
  if (rc == 0 || errno == EAGAIN || errno == EINTR || errno == ETIMEDOUT) return true;
  set_last_error(win_error_from_errno(errno));
  return false;
}

void wake_all(uint32_t* word) { ::syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

std::unique_ptr<NamedEvent> refuse_foreign_block(std::string* error) {
  set_last_error(kErrorInvalidHandle);
  if (error) *error = "the object is not an event";
  return nullptr;
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::create(std::string_view name, bool manual_reset, bool initially_set,
                                               bool* already_existed, std::string* error) {
  try {
    EventWords initial{kEventTag, manual_reset ? 1u : 0u, initially_set ? 1u : 0u, 0, 0, 0};
    std::string_view initial_bytes(reinterpret_cast<const char*>(&initial), sizeof initial);
    bool existed = false;
    auto block = SharedMemory::create_object(name, kEventSuffix, sizeof initial, initial_bytes, &existed, error);
    if (!block) return nullptr;
    if (words_of(*block).tag != kEventTag) return refuse_foreign_block(error);
    if (already_existed) *already_existed = existed;
    std::unique_ptr<NamedEvent> event(new NamedEvent(std::move(block)));
    set_last_error(existed ? kErrorAlreadyExists : kErrorSuccess);
    return event;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<NamedEvent> NamedEvent::open(std::string_view name, std::string* error) {
  try {
    auto block = SharedMemory::open_object(name, kEventSuffix, error);
    if (!block) return nullptr;
    if (block->size() < sizeof(EventWords) || words_of(*block).tag != kEventTag) return refuse_foreign_block(error);
    return std::unique_ptr<NamedEvent>(new NamedEvent(std::move(block)));
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

bool NamedEvent::manual_reset() const {
  return std::atomic_ref<uint32_t>(words_of(*block_).manual_reset).load() != 0;
}

bool NamedEvent::set() {
  EventWords& words = words_of(*block_);
  std::atomic_ref<uint32_t>(words.setter_cpu).store(current_cpu_word(), std::memory_order_relaxed);
  std::atomic_ref<uint32_t>(words.signaled).store(1);
  std::atomic_ref<uint32_t>(words.sets).fetch_add(1);
  // Every waiter wakes and looks; for an auto-reset event the one that wins
  // the exchange below takes the signal. Waking just one could hand the
  // signal to a waiter that is timing out or being killed at that moment.
  // A waiter counts itself a sleeper before it sleeps, and the kernel does
  // not let it sleep on a `sets` that moved meanwhile (both sides use full
  // barriers), so either it is counted here or it does not sleep.
  if (std::atomic_ref<uint32_t>(words.sleepers).load() != 0) wake_all(&words.sets);
  return true;
}

bool NamedEvent::reset() {
  std::atomic_ref<uint32_t>(words_of(*block_).signaled).store(0);
  return true;
}

WaitResult NamedEvent::wait(uint32_t timeout_ms) {
  objects::Deadline deadline(timeout_ms);
  EventWords& words = words_of(*block_);
  std::atomic_ref<uint32_t> signaled(words.signaled);
  std::atomic_ref<uint32_t> sets(words.sets);
  std::atomic_ref<uint32_t> sleepers(words.sleepers);
  const bool manual = manual_reset();
  const uint32_t sets_before = sets.load();
  bool watched = false;
  for (;;) {
    uint32_t seen = sets.load();
    uint32_t set_state = 1;
    if (manual ? signaled.load() == 1 : signaled.compare_exchange_strong(set_state, 0)) return WaitResult::Signaled;
    // A manual-reset event set and reset again while we slept still released us.
    if (manual && seen != sets_before) return WaitResult::Signaled;
    if (!deadline.infinite() && deadline.remaining().count() == 0) {
      set_last_error(kErrorTimeout);
      return WaitResult::Timeout;
    }
    if (!watched) {
      watched = true;
      if (setter_may_run_beside_us(std::atomic_ref<uint32_t>(words.setter_cpu)) && watch_for_set(sets, seen, deadline))
        continue;
    }
    sleepers.fetch_add(1);
    bool slept = sleep_on(&words.sets, seen, deadline);
    sleepers.fetch_sub(1);
    if (!slept) return WaitResult::Failed;
  }
}

}  // namespace zyp::platform
