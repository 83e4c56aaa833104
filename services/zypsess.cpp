// libzypsess: the token session service. Session states live in a shared
// block, so a state that the provider sets in the server process is what every
// other process reads. An open state belongs to the process that set it and
// reads as "no session" once that process is gone; activity marks are holds
// on a named shared object, so the kernel drops the marks of a process that
// dies. Either way nothing of a dead process is taken for alive.
#include "zyp/zypsess.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>

#include "platform/export_guard.h"
#include "platform/modules.h"
#include "platform/object_files.h"
#include "platform/shared_memory.h"
#include "zyp/zypprof.h"

namespace {

using zyp::platform::guarded;

constexpr int kPrimaryToken = -1;
constexpr int kStateSessionOpen = 0;
constexpr int kStateNoSession = 1;
constexpr int kUnreachable = 16;
constexpr char kSharedBlockName[] = "ZYPSESS_SHARED";
constexpr char kActivityName[] = "ZYPSESS_ACTIVITY";
constexpr char kClientModule[] = "ZYPCLIENT.DLL";

// One row per token that has had a state set. A row is claimed with a
// compare-exchange of `used` 0 -> 1 and published with 2 once its token is
// written; readers only look at published rows. The owner is the process
// that set the open state (pid 0: not known, never checked); its start time
// keeps a process that gets the same pid later from passing for it.
struct SessionRow {
  uint32_t used;
  uint32_t token;
  int32_t state;
  int32_t owner_pid;
  uint64_t owner_start;
};

struct SessionTable {
  SessionRow rows[64];
};

enum RowUse : uint32_t { kFree = 0, kClaimed = 1, kPublished = 2 };

zyp::platform::SharedBlock<SessionTable>& session_table() {
  static zyp::platform::SharedBlock<SessionTable> block(kSharedBlockName);
  return block;
}

// The library's shared data is attached while the library is loaded, as a
// shared data section would be.
__attribute__((constructor)) void attach_shared_block() {
  guarded(0, [] {
    session_table();
    return 0;
  });
}

int resolve_token(int token) { return token == kPrimaryToken ? ZYPGetPrimaryToken() : token; }

SessionRow* find_row(SessionTable& table, uint32_t token) {
  for (SessionRow& row : table.rows) {
    if (std::atomic_ref<uint32_t>(row.used).load() == kPublished && row.token == token) return &row;
  }
  return nullptr;
}

SessionRow* claim_row(SessionTable& table, uint32_t token) {
  for (SessionRow& row : table.rows) {
    uint32_t expected = kFree;
    if (std::atomic_ref<uint32_t>(row.used).compare_exchange_strong(expected, kClaimed)) {
      row.token = token;
      std::atomic_ref<int32_t>(row.state).store(kStateNoSession);
      std::atomic_ref<uint32_t>(row.used).store(kPublished);
      return &row;
    }
  }
  return nullptr;
}

zyp::platform::objects::ProcessIdentity owner_of(SessionRow& row) {
  return {std::atomic_ref<int32_t>(row.owner_pid).load(), std::atomic_ref<uint64_t>(row.owner_start).load()};
}

// A session opened by a process that has ended (killed, crashed) went with
// it: its token module sessions are closed and its key handles mean nothing.
bool owner_alive(SessionRow& row) {
  auto owner = owner_of(row);
  return owner.pid == 0 || zyp::platform::objects::is_running(owner);
}

int get_state(int token) {
  SessionTable* table = session_table().get();
  if (!table) return kStateNoSession;
  SessionRow* row = find_row(*table, static_cast<uint32_t>(resolve_token(token)));
  if (!row) return kStateNoSession;
  int state = std::atomic_ref<int32_t>(row->state).load();
  return state == kStateSessionOpen && !owner_alive(*row) ? kStateNoSession : state;
}

// The open state is published after its owner, so that no reader pairs it
// with half of another owner's identity.
void store_open_state(SessionRow& row) {
  auto self = zyp::platform::objects::current_process().value_or(zyp::platform::objects::ProcessIdentity{});
  auto previous = owner_of(row);
  if (previous.pid != self.pid || previous.start_time != self.start_time) {
    std::atomic_ref<int32_t>(row.state).store(kStateNoSession);
    std::atomic_ref<int32_t>(row.owner_pid).store(self.pid);
    std::atomic_ref<uint64_t>(row.owner_start).store(self.start_time);
  }
  std::atomic_ref<int32_t>(row.state).store(kStateSessionOpen);
}

int set_state(int token, int state) {
  SessionTable* table = session_table().get();
  if (!table) return 1;
  uint32_t id = static_cast<uint32_t>(resolve_token(token));
  SessionRow* row = find_row(*table, id);
  if (!row) row = claim_row(*table, id);
  if (!row) return 1;
  if (state == kStateSessionOpen) {
    store_open_state(*row);
  } else {
    std::atomic_ref<int32_t>(row->state).store(state);
  }
  return 0;
}

int primary_token_of(std::string module) {
  std::transform(module.begin(), module.end(), module.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  int token = 0;
  if (module.find("SOFTTOKF") != std::string::npos) token = 1;
  if (module.find("SOFTTOKS") != std::string::npos) token = 2;
  return token;
}

int primary_token() {
  char module[260] = {};
  ZYPGetProfileString("General", "SOFTTOK", "SOFTTOK.DLL", module, sizeof module);
  return primary_token_of(module);
}

// The client library, loaded at the first call that needs it. Each call of
// the client takes the token and returns a result whose low byte counts.
using TokenCall = int (*)(int);

TokenCall client_call(const char* name) {
  static std::mutex lock;
  static void* module = nullptr;
  std::lock_guard guard(lock);
  if (!module) module = zyp::platform::load_module(kClientModule);
  return module ? reinterpret_cast<TokenCall>(zyp::platform::module_symbol(module, name)) : nullptr;
}

int call_client(const char* name, int token, int when_missing) {
  TokenCall call = client_call(name);
  return call ? call(token) & 0xFF : when_missing;
}

int open_session() {
  int token = primary_token();
  if (get_state(token) == kStateSessionOpen) return 0;
  if (call_client("ZYPCIPOpenSession", token, kUnreachable) == kUnreachable) return 1;
  return get_state(token) == kStateSessionOpen ? 0 : 1;
}

int change_secret() {
  int result = call_client("ZYPCIPChangeSecret", primary_token(), 0);
  return result == 1 ? 1 : 0;
}

// Activity marks of this process: the first mark takes a hold on the shared
// activity object, the last release drops it.
struct ActivityMarks {
  std::mutex lock;
  int count = 0;
  std::unique_ptr<zyp::platform::SharedMemory> hold;
};

ActivityMarks& activity_marks() {
  static ActivityMarks marks;
  return marks;
}

int begin_activity() {
  ActivityMarks& marks = activity_marks();
  std::lock_guard guard(marks.lock);
  if (marks.count == 0) {
    marks.hold = zyp::platform::SharedMemory::create(kActivityName, sizeof(uint32_t));
    if (!marks.hold) return 1;
  }
  ++marks.count;
  return 0;
}

int end_activity() {
  ActivityMarks& marks = activity_marks();
  std::lock_guard guard(marks.lock);
  if (marks.count == 0) return 1;
  if (--marks.count == 0) marks.hold.reset();
  return 0;
}

int activity() { return zyp::platform::SharedMemory::open(kActivityName) ? 1 : 0; }

}  // namespace

ZYP_API int ZYPGetSessionState(int token) {
  return guarded(kStateNoSession, [&] { return get_state(token); });
}

ZYP_API int ZYPSetSessionState(int token, int state) {
  return guarded(1, [&] { return set_state(token, state); });
}

ZYP_API int ZYPGetPrimaryToken(void) {
  return guarded(0, [] { return primary_token(); });
}

ZYP_API int ZYPIsPrimaryTokenRemovable(void) {
  return guarded(0, [] { return primary_token() != 0 ? 1 : 0; });
}

ZYP_API int ZYPOpenTokenSession(void) {
  return guarded(1, [] { return open_session(); });
}

ZYP_API int ZYPCloseTokenSession(void) {
  return guarded(kUnreachable, [] { return call_client("ZYPCIPCloseSession", primary_token(), kUnreachable); });
}

ZYP_API int ZYPChangeTokenSecret(void) {
  return guarded(0, [] { return change_secret(); });
}

ZYP_API int ZYPGetActivity(void) {
  return guarded(0, [] { return activity(); });
}

ZYP_API int ZYPBeginActivity(void) {
  return guarded(1, [] { return begin_activity(); });
}

ZYP_API int ZYPEndActivity(void) {
  return guarded(1, [] { return end_activity(); });
}
