#include "platform/file_mapping.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/last_error.h"
#include "platform/object_files.h"

namespace zyp::platform {
namespace {

constexpr uint32_t kErrorFileInvalid = 1006;
constexpr std::string_view kRecordSuffix = ".fmap";
constexpr std::string_view kRecordTag = "zyp-file-mapping";

// What a name resolves to. Stored as three lines: the tag, the numbers, and
// the file's path (last, since a path may hold any character but NUL).
struct Registration {
  objects::ProcessIdentity creator;
  int fd = -1;  // the creator's own descriptor of the file
  bool writable = false;
  uint64_t size = 0;
  uint64_t device = 0;
  uint64_t inode = 0;
  std::string path;
};

std::string format_registration(const Registration& r) {
  std::ostringstream text;
  text << kRecordTag << '\n'
       << r.creator.pid << ' ' << r.creator.start_time << ' ' << r.fd << ' ' << (r.writable ? 1 : 0) << ' ' << r.size
       << ' ' << r.device << ' ' << r.inode << '\n'
       << r.path;
  return text.str();
}

std::optional<Registration> parse_registration(const std::string& text) {
  size_t first = text.find('\n');
  size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || text.compare(0, first, kRecordTag) != 0) return std::nullopt;
  std::istringstream numbers(text.substr(first + 1, second - first - 1));
  Registration r;
  int writable = 0;
  numbers >> r.creator.pid >> r.creator.start_time >> r.fd >> writable >> r.size >> r.device >> r.inode;
  if (!numbers) return std::nullopt;
  r.writable = writable != 0;
  r.path = text.substr(second + 1);
  return r;
}

std::optional<Registration> read_registration(const std::string& record_path) {
  auto text = read_whole_file(record_path);
  return text ? parse_registration(*text) : std::nullopt;
}

// Written in place: every reader and writer of the record holds its guard.
bool write_registration(const std::string& record_path, const Registration& r) {
  std::string text = format_registration(r);
  objects::UniqueFd fd(::open(record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd) return false;
  for (std::string_view rest = text; !rest.empty();) {
    ssize_t n = ::write(fd.get(), rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    rest.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void refuse(std::string* error, uint32_t code, const std::string& text) {
  set_last_error(code);
  if (error) *error = text;
}

std::string path_of_descriptor(int fd) {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string path(4096, '\0');
  ssize_t n = ::readlink(link.c_str(), path.data(), path.size());
  path.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return path;
}

// The creator's descriptor (which follows the file through a rename) first,
// then the path; either must still be the very file that was registered.
objects::UniqueFd open_registered_file(const Registration& r) {
  std::string through_creator = "/proc/" + std::to_string(r.creator.pid) + "/fd/" + std::to_string(r.fd);
  for (const std::string& candidate : {through_creator, r.path}) {
    objects::UniqueFd fd(::open(candidate.c_str(), (r.writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    struct stat st {};
    if (fd && ::fstat(fd.get(), &st) == 0 && st.st_dev == r.device && st.st_ino == r.inode) return fd;
  }
  return {};
}

uint64_t file_size(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// ---- Guard against a file that shrinks under its mapping ----------------------

uintptr_t page_size() {
  static const uintptr_t size = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

thread_local FileMapping::ShrinkGuard::Range* t_guarded = nullptr;
struct sigaction g_previous_sigbus {};

// Hands a SIGBUS that is not ours to what handled it before. A default or
// ignored disposition is put back: a fault then happens again on return and
// ends the process as it would have; a sent signal is raised again.
void pass_on_sigbus(int signal, siginfo_t* info, void* context) {
  if (g_previous_sigbus.sa_flags & SA_SIGINFO) {
    if (g_previous_sigbus.sa_sigaction) g_previous_sigbus.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previous_sigbus.sa_handler != SIG_DFL && g_previous_sigbus.sa_handler != SIG_IGN) {
    g_previous_sigbus.sa_handler(signal);
    return;
  }
  ::sigaction(SIGBUS, &g_previous_sigbus, nullptr);
  if (info->si_code <= 0) ::raise(signal);
}

// A page past the end of a shrunk file faults with BUS_ADRERR. Mapping
// private zero pages over the rest of the guarded range lets the access (and
// every later one) go on; the pages after the first missing one are past the
// end of the file too.
void on_sigbus(int signal, siginfo_t* info, void* context) {
  int saved_errno = errno;
  FileMapping::ShrinkGuard::Range* range = t_guarded;
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  if (range && info->si_code == BUS_ADRERR && address >= range->begin && address < range->end) {
    uintptr_t page = address & ~(page_size() - 1);
    void* zeros = ::mmap(reinterpret_cast<void*>(page), range->end - page, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      range->shrank = 1;
      errno = saved_errno;
      return;
    }
  }
  pass_on_sigbus(signal, info, context);
  errno = saved_errno;
}

void install_sigbus_handler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    (void)page_size();  // not computed for the first time inside the handler
    struct sigaction action {};
    action.sa_sigaction = on_sigbus;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous_sigbus);
  });
}

}  // namespace

FileMapping::ShrinkGuard::ShrinkGuard(const FileMapping& mapping)
    : range_{reinterpret_cast<uintptr_t>(mapping.data_),
             (reinterpret_cast<uintptr_t>(mapping.data_) + mapping.size_ + page_size() - 1) & ~(page_size() - 1), 0},
      outer_(t_guarded) {
  install_sigbus_handler();
  t_guarded = &range_;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

FileMapping::ShrinkGuard::~ShrinkGuard() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_guarded = outer_;
}

bool FileMapping::ShrinkGuard::file_shrank() const { return range_.shrank != 0; }

FileMapping::FileMapping(std::string name, int fd, void* data, size_t size, bool writable)
    : name_(std::move(name)),
      fd_(fd),
      data_(data),
      size_(size),
      writable_(writable),
      creator_pid_(objects::current_pid()) {}

FileMapping::~FileMapping() {
  ::munmap(data_, size_);
  if (!record_path_.empty() && creator_pid_ == objects::current_pid()) unregister_name();
  ::close(fd_);
}

void FileMapping::prefault(uint64_t offset, uint64_t length, bool for_writing) const {
  if (offset >= size_ || length == 0) return;
  const uintptr_t page = page_size();
  uintptr_t first = reinterpret_cast<uintptr_t>(data_) + offset;
  uintptr_t end = first + std::min<uint64_t>(length, size_ - offset);
  first &= ~(page - 1);
  // Unknown to kernels before 5.14 (EINVAL); a failure only means the pages
  // fault in one by one as they are used, so it is ignored.
  (void)::madvise(reinterpret_cast<void*>(first), end - first,
                  for_writing && writable_ ? MADV_POPULATE_WRITE : MADV_POPULATE_READ);
}

bool FileMapping::flush() {
  if (::msync(data_, size_, MS_SYNC) == 0) return true;
  set_last_error(win_error_from_errno(errno));
  return false;
}

std::unique_ptr<FileMapping> FileMapping::create(int fd, std::string_view name, uint64_t size, std::string* error) {
  try {
    struct stat st {};
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fstat(fd, &st) != 0) {
      refuse(error, kErrorInvalidHandle, "cannot map: not an open file");
      return nullptr;
    }
    if (!S_ISREG(st.st_mode) || (flags & O_ACCMODE) == O_WRONLY) {
      refuse(error, kErrorAccessDenied, "cannot map: the file is not a regular file open for reading");
      return nullptr;
    }
    const bool writable = (flags & O_ACCMODE) == O_RDWR;
    const uint64_t current = static_cast<uint64_t>(st.st_size);
    const uint64_t wanted = size != 0 ? size : current;
    if (wanted == 0) {
      refuse(error, kErrorFileInvalid, "cannot map an empty file");
      return nullptr;
    }
    if (wanted > static_cast<uint64_t>(std::numeric_limits<off_t>::max())) {
      refuse(error, kErrorInvalidParameter, "cannot map: the size is too large");
      return nullptr;
    }
    if (wanted > current) {
      if (!writable) {
        refuse(error, kErrorAccessDenied, "cannot extend a file that is open for reading only");
        return nullptr;
      }
      int rc = ::posix_fallocate(fd, static_cast<off_t>(current), static_cast<off_t>(wanted - current));
      if (rc != 0) {
        errno = rc;
        objects::fail_with_errno(error, "cannot extend", path_of_descriptor(fd));
        return nullptr;
      }
    }
    objects::UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!own) {
      objects::fail_with_errno(error, "cannot keep", path_of_descriptor(fd));
      return nullptr;
    }
    auto mapping = map(name, own.release(), static_cast<size_t>(wanted), writable, error);
    if (mapping && !name.empty() && !mapping->register_name(error)) return nullptr;
    return mapping;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<FileMapping> FileMapping::open(std::string_view name, std::string* error) {
  try {
    auto record_path = objects::object_file(name, kRecordSuffix, error);
    if (!record_path) return nullptr;
    objects::ObjectGuard guard(*record_path, error);
    if (!guard) return nullptr;
    auto registration = read_registration(*record_path);
    if (!registration || !objects::is_running(registration->creator)) {
      if (registration) ::unlink(record_path->c_str());  // its creator was killed
      refuse(error, kErrorFileNotFound, "no live process has a file mapping named " + std::string(name));
      return nullptr;
    }
    objects::UniqueFd file = open_registered_file(*registration);
    if (!file) {
      refuse(error, kErrorFileNotFound, "the file behind the mapping " + std::string(name) + " is gone");
      return nullptr;
    }
    uint64_t size = std::min(registration->size, file_size(file.get()));
    if (size == 0) {
      refuse(error, kErrorFileInvalid, "the file behind the mapping " + std::string(name) + " is empty");
      return nullptr;
    }
    return map(name, file.release(), static_cast<size_t>(size), registration->writable, error);
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<FileMapping> FileMapping::map(std::string_view name, int raw_fd, size_t size, bool writable,
                                              std::string* error) {
  objects::UniqueFd fd(raw_fd);
  int protection = PROT_READ | (writable ? PROT_WRITE : 0);
  void* data = ::mmap(nullptr, size, protection, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) {
    objects::fail_with_errno(error, "cannot map", path_of_descriptor(fd.get()));
    return nullptr;
  }
  try {
    std::unique_ptr<FileMapping> mapping(new FileMapping(std::string(name), fd.get(), data, size, writable));
    fd.release();
    return mapping;
  } catch (const std::bad_alloc&) {
    ::munmap(data, size);
    throw;
  }
}

bool FileMapping::register_name(std::string* error) {
  auto record_path = objects::object_file(name_, kRecordSuffix, error);
  if (!record_path) return false;
  auto creator = objects::current_process();
  if (!creator) {
    refuse(error, kErrorAccessDenied, "cannot read this process's start time from /proc");
    return false;
  }
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    objects::fail_with_errno(error, "cannot identify", path_of_descriptor(fd_));
    return false;
  }
  Registration mine{*creator, fd_, writable_, size_, st.st_dev, st.st_ino, path_of_descriptor(fd_)};
  objects::ObjectGuard guard(*record_path, error);
  if (!guard) return false;
  auto existing = read_registration(*record_path);
  if (existing && objects::is_running(existing->creator)) {
    refuse(error, kErrorAlreadyExists,
           "the file mapping name " + name_ + " is in use by process " + std::to_string(existing->creator.pid));
    return false;
  }
  if (!write_registration(*record_path, mine)) {
    objects::fail_with_errno(error, "cannot register", *record_path);
    return false;
  }
  record_path_ = std::move(*record_path);
  return true;
}

void FileMapping::unregister_name() noexcept {
  try {
    objects::ObjectGuard guard(record_path_, nullptr);
    auto registration = read_registration(record_path_);
    if (guard && registration && registration->creator.pid == creator_pid_ && registration->fd == fd_)
      ::unlink(record_path_.c_str());
  } catch (...) {
    // The record stays; its creator is gone once this process ends, so it counts as absent.
  }
}

}  // namespace zyp::platform
