#include "platform/object_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/last_error.h"

namespace zyp::platform::objects {
namespace {

using namespace std::chrono_literals;

// True when fd got LOCK_EX at once, false when somebody else holds a lock;
// empty on any other failure (errno set).
std::optional<bool> try_lock_exclusive(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK) return false;
    if (errno != EINTR) return std::nullopt;
  }
}

// posix_fallocate rather than ftruncate: the space is reserved now, so a full
// file system fails here instead of killing a process later with SIGBUS.
bool reserve_zeros(int fd, uint64_t size) {
  if (size == 0) return true;
  int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
  if (rc != 0) errno = rc;
  return rc == 0;
}

// `size` zero bytes overlaid with `initial`. Bytes that `initial` covers are
// written, which reserves their space as well, so only the rest is reserved
// separately. A file made afresh is empty already.
bool reset_contents(int fd, uint64_t size, std::string_view initial, bool fresh) {
  if (!fresh && ::ftruncate(fd, 0) != 0) return false;
  if (initial.size() < size && !reserve_zeros(fd, size)) return false;
  return write_all_at(fd, initial.data(), initial.size(), 0);
}

// Opens the object file at `path`, making it when missing; *fresh tells
// whether it was made just now.
UniqueFd open_or_make_object_file(const std::string& path, bool* fresh, std::string* error) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_CREAT | O_EXCL, 0600));
  *fresh = static_cast<bool>(fd);
  if (fd || errno != EEXIST) {
    if (!fd) fail_with_errno(error, "cannot open", path);
    return fd;
  }
  return open_object_file(path, true, error);
}

// A file kept for reuse holds the bytes of its last use: zeros, unless its
// last holder was killed. When `initial` covers the whole block it is
// written over them after the size is set, which leaves nothing of the last
// use; otherwise the block is reset whole.
bool reset_kept_contents(int fd, uint64_t old_size, uint64_t size, std::string_view initial) {
  if (initial.size() != size) return reset_contents(fd, size, initial, false);
  if (old_size != size && ::ftruncate(fd, static_cast<off_t>(size)) != 0) return false;
  return write_all_at(fd, initial.data(), initial.size(), 0);
}

// Zeroes a file whose last holder keeps it for reuse, so that no bytes of
// its last use stay behind: a small file by writing zeros over it, which
// keeps its pages for the next use, a large one by cutting it to nothing.
bool wipe_for_reuse(int fd, uint64_t size) {
  static constexpr uint8_t kZeros[16384] = {};
  if (size > sizeof kZeros) return ::ftruncate(fd, 0) == 0;
  return write_all_at(fd, kZeros, static_cast<size_t>(size), 0);
}

// Descriptors that are not in use, kept for the next use of the same file:
// guard files, and the files of objects whose last holder keeps them for
// reuse (see release_object_file). Opening and closing a file around every
// guarded step costs more than the step itself, and the channel guards and
// opens the same request block on each side of every request.
//
// Only idle descriptors are kept, unlocked. A descriptor in use belongs to one
// thread; a second thread of the process that needs the same file meanwhile
// opens a descriptor of its own, whose lock excludes it just as another
// process's would. A kept descriptor is reused only within kIdleReuse of its
// return, so the few kept open stay few, and a file removed with its folder
// is soon opened anew. A forked child starts with none: the descriptors it
// inherits share their locks with the parent's.
constexpr auto kIdleReuse = std::chrono::milliseconds(250);
constexpr size_t kIdleKept = 8;

class IdleFiles {
 public:
  // An idle descriptor of `path`, or none.
  UniqueFd take(const std::string& path) {
    std::lock_guard lock(lock_);
    auto now = std::chrono::steady_clock::now();
    std::erase_if(idle_, [&](const Idle& idle) { return now - idle.returned >= kIdleReuse; });
    for (auto it = idle_.begin(); it != idle_.end(); ++it) {
      if (it->path != path) continue;
      UniqueFd fd = std::move(it->fd);
      idle_.erase(it);
      return fd;
    }
    return {};
  }

  // Keeps `fd`, unlocked, for the next use of `path`.
  void give_back(const std::string& path, UniqueFd fd) {
    std::lock_guard lock(lock_);
    if (closed_) return;
    if (idle_.size() == kIdleKept) idle_.erase(idle_.begin());  // the oldest
    idle_.push_back({path, std::move(fd), std::chrono::steady_clock::now()});
  }

  // Closes what is kept and keeps nothing more.
  void close_all() {
    std::lock_guard lock(lock_);
    std::vector<Idle>().swap(idle_);
    closed_ = true;
  }

  // Around fork: no thread may be changing the list while it is copied, and
  // the child drops its copies.
  void before_fork() { lock_.lock(); }
  void after_fork_in_parent() { lock_.unlock(); }
  void after_fork_in_child() {
    std::vector<Idle>().swap(idle_);
    lock_.unlock();
  }

 private:
  struct Idle {
    std::string path;
    UniqueFd fd;
    std::chrono::steady_clock::time_point returned;
  };
  std::mutex lock_;
  std::vector<Idle> idle_;
  bool closed_ = false;
};

// The keeper lives in static storage and is never destroyed, since a thread
// may still guard an object while the process exits; when this code is
// unloaded (exit, or dlclose of a library that links it) it closes and frees
// what it keeps.
alignas(IdleFiles) unsigned char g_idle_files_storage[sizeof(IdleFiles)];
std::atomic<IdleFiles*> g_idle_files{nullptr};

void idle_files_before_fork() { g_idle_files.load()->before_fork(); }
void idle_files_after_fork_in_parent() { g_idle_files.load()->after_fork_in_parent(); }
void idle_files_after_fork_in_child() { g_idle_files.load()->after_fork_in_child(); }

IdleFiles& idle_files() {
  static IdleFiles* keeper = [] {
    auto* made = new (g_idle_files_storage) IdleFiles;
    g_idle_files.store(made);
    // Without the fork handlers a child could lock its parent's descriptors.
    if (::pthread_atfork(idle_files_before_fork, idle_files_after_fork_in_parent,
                         idle_files_after_fork_in_child) != 0)
      made->close_all();
    return made;
  }();
  return *keeper;
}

struct IdleFilesCloser {
  ~IdleFilesCloser() {
    if (IdleFiles* keeper = g_idle_files.load()) keeper->close_all();
  }
} g_idle_files_closer;

// Keeps an unlocked descriptor for reuse; a failure to keep it closes it.
void keep_idle(const std::string& path, UniqueFd fd) {
  try {
    idle_files().give_back(path, std::move(fd));
  } catch (...) {
    // Not kept: the descriptor is closed.
  }
}

// Whether fd's file still has a name. Under the guard, while we hold the
// file, no other holder removes or replaces it; only someone outside the
// protocol can (removing the runtime folder's files by hand). A file that
// still has a name is then the one at its path, so one fstat suffices. The
// same holds for a descriptor kept for reuse: its file is removed only under
// the guard, and a name is never given back to a removed file. *size (when
// given) is the file's size.
bool still_named(int fd, uint64_t* size = nullptr) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_nlink == 0) return false;
  if (size) *size = static_cast<uint64_t>(st.st_size);
  return true;
}

// Under the guard: the kept descriptor of `path` whose file still has that
// name, or none. *size is the file's size.
UniqueFd take_kept_file(const std::string& path, uint64_t* size) {
  UniqueFd kept = idle_files().take(path);
  return kept && still_named(kept.get(), size) ? std::move(kept) : UniqueFd();
}

}  // namespace

ObjectGuard::ObjectGuard(const std::string& object_path, std::string* error) : lock_path_(object_path + ".lock") {
  fd_ = idle_files().take(lock_path_);
  if (!fd_) fd_ = open_object_file(lock_path_, true, error);
  if (fd_ && lock_file(fd_.get(), LOCK_EX, Deadline(kInfinite)) != WaitResult::Signaled) {
    fail_with_errno(error, "cannot lock", lock_path_);
    fd_.reset();
  }
}

ObjectGuard::~ObjectGuard() {
  if (!fd_ || ::flock(fd_.get(), LOCK_UN) != 0) return;  // closing the descriptor drops the lock
  keep_idle(lock_path_, std::move(fd_));
}

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

Deadline::Deadline(uint32_t timeout_ms)
    : infinite_(timeout_ms == kInfinite),
      when_(std::chrono::steady_clock::now() + std::chrono::milliseconds(infinite_ ? 0 : timeout_ms)) {}

std::chrono::nanoseconds Deadline::remaining() const {
  auto left = when_ - std::chrono::steady_clock::now();
  return std::max(std::chrono::nanoseconds(0), std::chrono::duration_cast<std::chrono::nanoseconds>(left));
}

void fail_with_errno(std::string* error, std::string_view what, const std::string& path) {
  int err = errno;
  set_last_error(win_error_from_errno(err));
  if (!error) return;
  try {
    *error = std::string(what) + " " + path + ": " + std::strerror(err);
  } catch (...) {
    // The error code is set; the text is a courtesy.
  }
}

std::optional<std::string> object_file(std::string_view name, std::string_view suffix, std::string* error) {
  auto path = object_path(name, suffix, error);
  if (!path) set_last_error(name.empty() ? kErrorInvalidParameter : kErrorAccessDenied);
  return path;
}

WaitResult lock_file(int fd, int operation, const Deadline& deadline) {
  if (deadline.infinite()) {
    while (::flock(fd, operation) != 0) {
      if (errno != EINTR) {
        set_last_error(win_error_from_errno(errno));
        return WaitResult::Failed;
      }
    }
    return WaitResult::Signaled;
  }
  std::chrono::nanoseconds pause = 1ms;
  for (;;) {
    if (::flock(fd, operation | LOCK_NB) == 0) return WaitResult::Signaled;
    if (errno != EWOULDBLOCK && errno != EINTR) {
      set_last_error(win_error_from_errno(errno));
      return WaitResult::Failed;
    }
    auto left = deadline.remaining();
    if (left == left.zero()) {
      set_last_error(kErrorTimeout);
      return WaitResult::Timeout;
    }
    std::this_thread::sleep_for(std::min(pause, left));
    pause = std::min<std::chrono::nanoseconds>(pause * 2, 10ms);
  }
}

bool write_all_at(int fd, const void* data, size_t size, uint64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

bool read_all_at(int fd, void* data, size_t size, uint64_t offset) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    ssize_t n = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return true;
}

UniqueFd open_object_file(const std::string& path, bool create, std::string* error) {
  int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
  UniqueFd fd(::open(path.c_str(), flags, 0600));
  if (!fd) fail_with_errno(error, "cannot open", path);
  return fd;
}

UniqueFd hold_object_file(const std::string& path, uint64_t size, std::string_view initial,
                          bool* existed, std::string* error, bool reusable) {
  ObjectGuard guard(path, error);
  if (!guard) return {};
  // Usually the last holder has removed the file: one made afresh under the
  // guard has no other holder and nothing to clear. A file kept for reuse is
  // found by its kept descriptor, or opened again when another process kept
  // it; its size tells what is left to clear.
  bool fresh = false;
  uint64_t kept_size = 0;
  std::optional<uint64_t> old_size;
  UniqueFd fd = reusable ? take_kept_file(path, &kept_size) : UniqueFd();
  if (fd) {
    old_size = kept_size;
  } else {
    fd = open_or_make_object_file(path, &fresh, error);
    if (!fd) return {};
    if (reusable && !fresh) {
      if (!still_named(fd.get(), &kept_size)) {
        fail_with_errno(error, "cannot read the size of", path);
        return {};
      }
      old_size = kept_size;
    }
  }
  std::optional<bool> alone = fresh ? std::optional<bool>(true) : try_lock_exclusive(fd.get());
  bool ready = false;
  if (alone == true) {
    ready = old_size ? reset_kept_contents(fd.get(), *old_size, size, initial)
                     : reset_contents(fd.get(), size, initial, fresh);
  } else if (alone == false) {
    ready = reserve_zeros(fd.get(), size);
  }
  // Turning the exclusive lock into a shared one cannot be overtaken here:
  // every other creator, opener and releaser waits for the guard.
  if (!ready || ::flock(fd.get(), LOCK_SH) != 0) {
    fail_with_errno(error, "cannot set up", path);
    return {};
  }
  if (existed) *existed = !*alone;
  return fd;
}

UniqueFd hold_existing_object_file(const std::string& path, std::string* error, bool reusable) {
  ObjectGuard guard(path, error);
  if (!guard) return {};
  UniqueFd fd = reusable ? take_kept_file(path, nullptr) : UniqueFd();
  if (!fd) fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    fail_with_errno(error, "no such object", path);
    return {};
  }
  std::optional<bool> alone = try_lock_exclusive(fd.get());
  if (alone.has_value() && *alone) {
    // Kept for reuse by its last holder, or left behind by holders that were
    // killed: nobody has it any more.
    ::unlink(path.c_str());
    errno = ENOENT;
    fail_with_errno(error, "no live process holds", path);
    return {};
  }
  if (!alone.has_value() || ::flock(fd.get(), LOCK_SH) != 0) {
    fail_with_errno(error, "cannot lock", path);
    return {};
  }
  return fd;
}

void release_object_file(UniqueFd fd, const std::string& path, bool others_likely, bool reusable) {
  if (others_likely) {
    // When others hold the file this probe fails, and having given up our
    // shared lock we are gone. Two holders leaving at once cannot both fail
    // (the kernel decides one probe after the other), so the last one always
    // comes to the guarded path below. Found alone, the lock is dropped before
    // waiting for the guard: an opener may hold the guard while it waits for
    // this very lock to go.
    std::optional<bool> alone = try_lock_exclusive(fd.get());
    if (alone == false) {
      if (reusable) keep_idle(path, std::move(fd));
      return;
    }
    ::flock(fd.get(), LOCK_UN);
  }
  try {
    ObjectGuard guard(path, nullptr);
    // Asking for the exclusive lock gives up our shared one even when it
    // fails, which is fine: we are leaving either way.
    uint64_t size = 0;
    if (guard && try_lock_exclusive(fd.get()).value_or(false) && still_named(fd.get(), &size)) {
      if (reusable && wipe_for_reuse(fd.get(), size) && ::flock(fd.get(), LOCK_UN) == 0) {
        keep_idle(path, std::move(fd));
        return;
      }
      ::unlink(path.c_str());
    }
    fd.reset();  // while the guard is still held
  } catch (...) {
    // Could not build the guard's path: the file stays for the next creator, who resets it.
  }
}

HeldObjectFile::HeldObjectFile(UniqueFd fd, std::string path, bool joined, bool reusable)
    : fd_(std::move(fd)), path_(std::move(path)), holder_pid_(current_pid()), joined_(joined), reusable_(reusable) {}

HeldObjectFile::~HeldObjectFile() {
  if (holder_pid_ == current_pid()) release_object_file(std::move(fd_), path_, joined_, reusable_);
}

std::optional<uint64_t> process_start_time(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  try {
    auto stat = read_whole_file("/proc/" + std::to_string(pid) + "/stat");
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses, so
    // the fields are counted from the last ')'. Field 3 is the state, 22 the start time.
    size_t paren = stat ? stat->rfind(')') : std::string::npos;
    if (paren == std::string::npos) return std::nullopt;
    std::istringstream fields(stat->substr(paren + 1));
    std::string state, skipped;
    uint64_t start_time = 0;
    fields >> state;
    for (int field = 4; field < 22; ++field) fields >> skipped;
    fields >> start_time;
    if (!fields || state == "Z" || state == "X" || state == "x") return std::nullopt;
    return start_time;
  } catch (...) {
    return std::nullopt;
  }
}

namespace {

std::atomic<pid_t> g_known_pid{0};

void forget_pid_in_child() { g_known_pid.store(0, std::memory_order_relaxed); }

}  // namespace

pid_t current_pid() {
  pid_t pid = g_known_pid.load(std::memory_order_relaxed);
  if (pid != 0) return pid;
  static const bool forgotten_at_fork = ::pthread_atfork(nullptr, nullptr, forget_pid_in_child) == 0;
  pid = ::getpid();
  // Without the fork handler the value cannot be kept safely.
  if (forgotten_at_fork) g_known_pid.store(pid, std::memory_order_relaxed);
  return pid;
}

std::optional<ProcessIdentity> current_process() {
  pid_t pid = current_pid();
  auto start = process_start_time(pid);
  if (!start) return std::nullopt;
  return ProcessIdentity{pid, *start};
}

bool is_running(const ProcessIdentity& process) {
  auto start = process_start_time(process.pid);
  return start && *start == process.start_time;
}

}  // namespace zyp::platform::objects
