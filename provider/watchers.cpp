#include "provider/watchers.h"

#include <unistd.h>

#include <vector>

#include "provider/frame.h"
#include "provider/sessions.h"
#include "zyp/zypsess.h"

namespace zyp::prov {
namespace {

constexpr std::chrono::milliseconds kWatchPeriod{1000};
constexpr std::chrono::milliseconds kActivityPoll{500};

bool inactive_too_long(ContextRecord& record, const SharedVariables& shared, uint32_t now) {
  uint32_t countdown = record.countdown;
  if (countdown != 0) record.countdown = countdown - 1;
  int64_t idle = static_cast<int64_t>(now) - static_cast<int64_t>(record.last_use);
  return countdown == 0 || idle > static_cast<int64_t>(shared.inactivity_time);
}

// A watcher outlives any single failure (memory, a lock that cannot be
// taken): the round is skipped and the next one tries again.
template <typename Body>
void run_guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace

Watchers::Watchers(Provider& provider) : provider_(provider) {
  provider_.shared().watcher_process = static_cast<int32_t>(::getpid());
  inactivity_ = std::thread([this] { inactivity_loop(); });
  presence_ = std::thread([this] { presence_loop(); });
}

Watchers::~Watchers() {
  {
    std::lock_guard guard(stop_lock_);
    stopping_ = true;
  }
  stop_signal_.notify_all();
  inactivity_.join();
  presence_.join();
}

bool Watchers::pause(std::chrono::milliseconds duration) {
  std::unique_lock guard(stop_lock_);
  return !stop_signal_.wait_for(guard, duration, [this] { return stopping_; });
}

void Watchers::note_thread(int slot) {
  std::lock_guard guard(provider_.lock());
  provider_.shared().watcher_threads[slot] = static_cast<uint32_t>(::gettid());
}

void Watchers::close_when_idle(const Candidate& candidate) {
  while (ZYPGetActivity() != 0) {
    if (!pause(kActivityPoll)) return;
  }
  std::lock_guard guard(provider_.lock());
  auto records = provider_.records();
  if (candidate.index >= records.size()) return;
  ContextRecord& record = records[candidate.index];
  if (record.in_use == 1 && record.logged_in && record.session == candidate.session &&
      record.token == candidate.token) {
    close_record(provider_, record);
  }
}

std::vector<Watchers::Candidate> Watchers::expired_records() {
  std::vector<Candidate> expired;
  std::lock_guard guard(provider_.lock());
  const SharedVariables& shared = provider_.shared();
  if (shared.inactivity_enabled == 0) return expired;
  auto records = provider_.records();
  uint32_t now = now_seconds();
  for (uint32_t index = 0; index < records.size(); ++index) {
    ContextRecord& record = records[index];
    if (record.in_use != 1 || !record.logged_in) continue;
    if (inactive_too_long(record, shared, now)) expired.push_back({index, record.session, record.token});
  }
  return expired;
}

std::vector<Watchers::Candidate> Watchers::removed_records() {
  std::vector<Candidate> removed;
  std::lock_guard guard(provider_.lock());
  if (provider_.shared().presence_check == 0) return removed;
  auto records = provider_.records();
  for (uint32_t index = 0; index < records.size(); ++index) {
    ContextRecord& record = records[index];
    if (record.in_use != 1 || !record.logged_in) continue;
    if (!token_present(provider_, record.token)) removed.push_back({index, record.session, record.token});
  }
  return removed;
}

void Watchers::inactivity_loop() {
  run_guarded([this] {
    note_thread(0);
    std::lock_guard guard(provider_.lock());
    for (ContextRecord& record : provider_.records()) {
      if (record.in_use == 1) refresh_activity(record, provider_.shared());
    }
  });
  while (pause(kWatchPeriod)) {
    run_guarded([this] {
      for (const Candidate& candidate : expired_records()) close_when_idle(candidate);
    });
  }
}

void Watchers::presence_loop() {
  run_guarded([this] { note_thread(1); });
  while (pause(kWatchPeriod)) {
    run_guarded([this] {
      for (const Candidate& candidate : removed_records()) close_when_idle(candidate);
    });
  }
}

}  // namespace zyp::prov
