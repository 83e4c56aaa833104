#pragma once
// Plumbing shared by the named kernel objects: descriptors that close
// themselves, monotonic deadlines, file locks with a time limit, object files
// whose live holders the kernel counts, and process identities that a reused
// process id cannot fake.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/wait.h"

namespace zyp::platform::objects {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// The end of a wait of `timeout_ms` milliseconds from now on the monotonic
// clock; kInfinite never ends.
class Deadline {
 public:
  explicit Deadline(uint32_t timeout_ms);
  bool infinite() const { return infinite_; }
  std::chrono::steady_clock::time_point when() const { return when_; }
  // Time left, zero once the deadline has passed.
  std::chrono::nanoseconds remaining() const;

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point when_;
};

// Sets last_error() from errno, and *error (when given) to "<what> <path>: <reason>".
void fail_with_errno(std::string* error, std::string_view what, const std::string& path);

// The file of the kernel object `name` under the runtime folder. Empty (with
// last_error() 87 for an empty name, 5 for a refused runtime folder) on failure.
std::optional<std::string> object_file(std::string_view name, std::string_view suffix, std::string* error);

// Takes the flock `operation` (LOCK_SH or LOCK_EX) on fd before the deadline.
// flock has no time limit of its own: a limited wait polls with short sleeps
// (1 ms growing to 10 ms), an unlimited one blocks in the kernel.
WaitResult lock_file(int fd, int operation, const Deadline& deadline);

// pwrite and pread of exactly `size` bytes at `offset`, resumed after a short
// transfer or an interruption. False with errno set on failure (ENOSPC for a
// write that makes no progress, EIO for a read that meets the end first).
bool write_all_at(int fd, const void* data, size_t size, uint64_t offset);
bool read_all_at(int fd, void* data, size_t size, uint64_t offset);

// Opens `path` read/write, close-on-exec, not through a symbolic link;
// `create` makes a missing file with mode 0600.
UniqueFd open_object_file(const std::string& path, bool create, std::string* error);

// The exclusive lock on the guard file `object_path` + ".lock", held while one
// process creates, opens, registers or releases the object. The guard file is
// never removed: removing a lock file while another process waits on it would
// let two processes in at once. Descriptors of guard files are kept open for
// a short while after use, since the same objects are guarded again and again
// (see object_files.cpp).
class ObjectGuard {
 public:
  ObjectGuard(const std::string& object_path, std::string* error);
  ~ObjectGuard();
  ObjectGuard(const ObjectGuard&) = delete;
  ObjectGuard& operator=(const ObjectGuard&) = delete;
  explicit operator bool() const { return static_cast<bool>(fd_); }

 private:
  std::string lock_path_;
  UniqueFd fd_;
};

// Object files with counted holders. Every holder keeps a shared flock on the
// file for as long as it has the object open, so the kernel forgets a holder
// the moment it exits or is killed. Creating, opening and releasing run one at
// a time under an exclusive lock on the guard file `path` + ".lock", which is
// what makes "is anybody else holding it?" a reliable question.

// Objects made and dropped again and again (the block of each request) may
// be kept for reuse: their last holder zeroes the file and keeps its
// descriptor for a short while instead of removing the file, and the next
// holder in this process takes that descriptor instead of opening (or making)
// the file again. A kept file has no holder, so it counts as gone exactly as
// a removed one does: opening it fails, and creating it starts afresh. The
// functions below take `reusable` for such objects.

// Opens `path` as a holder, creating it when missing. When no other live
// holder had it, its contents are reset to `size` zero bytes overlaid with
// `initial`; otherwise it is extended with zeros to `size` when shorter.
// *existed tells whether another live holder had it.
UniqueFd hold_object_file(const std::string& path, uint64_t size, std::string_view initial,
                          bool* existed, std::string* error, bool reusable = false);

// Opens `path` as a holder only when another live holder has it; otherwise
// fails with last_error() 2 (and removes a file that nobody holds).
UniqueFd hold_existing_object_file(const std::string& path, std::string* error, bool reusable = false);

// Drops this holder; when it was the last one, removes the file, or when
// `reusable` zeroes it and keeps it. `others_likely` (a holder that joined an
// object someone else made) first tries to leave without the guard, which
// suffices when other holders remain.
void release_object_file(UniqueFd fd, const std::string& path, bool others_likely = false,
                         bool reusable = false);

// One holder's object file, released (see above) when the object goes. A
// forked child has a copy of the descriptor but shares its parent's lock, so
// its copy only closes the descriptor. `joined`: the holder found the object
// made by another, who usually stays longer (the server and the block of a
// request). `reusable`: the object is kept for reuse (see above).
class HeldObjectFile {
 public:
  HeldObjectFile(UniqueFd fd, std::string path, bool joined, bool reusable = false);
  ~HeldObjectFile();
  HeldObjectFile(const HeldObjectFile&) = delete;
  HeldObjectFile& operator=(const HeldObjectFile&) = delete;

  int fd() const { return fd_.get(); }
  const std::string& path() const { return path_; }

 private:
  UniqueFd fd_;
  std::string path_;
  pid_t holder_pid_;
  bool joined_;
  bool reusable_;
};

// A process as the kernel knows it: its id and its start time, so that a
// process that gets a dead process's id again is not mistaken for it.
struct ProcessIdentity {
  pid_t pid = 0;
  uint64_t start_time = 0;  // clock ticks after boot, /proc/<pid>/stat field 22
};

// getpid() without a system call after the first: the value is kept and
// forgotten in the child of every fork, so a child never sees its parent's.
pid_t current_pid();

// The start time of a running process; empty when it is gone or a zombie.
std::optional<uint64_t> process_start_time(pid_t pid);
std::optional<ProcessIdentity> current_process();
bool is_running(const ProcessIdentity& process);

}  // namespace zyp::platform::objects
