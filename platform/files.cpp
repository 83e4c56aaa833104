#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "platform/last_error.h"

namespace zyp::platform {
namespace {

constexpr uint32_t kErrorNotSameDevice = 17;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int kTempNameAttempts = 100;

// Runs `body`, turning an allocation failure into a failed call, so that no
// exception leaves these functions.
template <typename Result, typename Body>
Result guarded(Result on_failure, Body&& body) {
  try {
    return body();
  } catch (...) {
    set_last_error(kErrorNotEnoughMemory);
    return on_failure;
  }
}

bool fail(uint32_t code) {
  set_last_error(code);
  return false;
}

std::string parent_folder(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool folder_exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Windows tells a missing file (2) from a missing folder on its way (3).
uint32_t missing_error(const std::string& path) {
  return folder_exists(parent_folder(path)) ? kErrorFileNotFound : kErrorPathNotFound;
}

uint32_t error_for(int err, const std::string& path) {
  if (err == ENOENT || err == ENOTDIR) return missing_error(path);
  return win_error_from_errno(err);
}

bool fail_errno(const std::string& path) { return fail(error_for(errno, path)); }

bool xattrs_unsupported(int err) { return err == ENOTSUP || err == EOPNOTSUPP; }

uint32_t decode_word(const unsigned char (&bytes)[4]) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

void encode_word(uint32_t word, unsigned char (&bytes)[4]) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(word >> (8 * i));
}

// The stored attribute word; 0 when there is none or it cannot be read.
uint32_t read_stored_word(const std::string& path) {
  unsigned char bytes[4];
  ssize_t n = ::getxattr(path.c_str(), kAttributesXattr, bytes, sizeof bytes);
  return n == sizeof bytes ? decode_word(bytes) : 0;
}

uint32_t read_stored_word(int fd) {
  unsigned char bytes[4];
  ssize_t n = ::fgetxattr(fd, kAttributesXattr, bytes, sizeof bytes);
  return n == sizeof bytes ? decode_word(bytes) : 0;
}

// A zero word is stored as no extended attribute at all.
bool write_stored_word(const std::string& path, uint32_t word) {
  if (word == 0) {
    if (::removexattr(path.c_str(), kAttributesXattr) == 0) return true;
    return errno == ENODATA || xattrs_unsupported(errno);
  }
  unsigned char bytes[4];
  encode_word(word, bytes);
  if (::setxattr(path.c_str(), kAttributesXattr, bytes, sizeof bytes, 0) == 0) return true;
  return xattrs_unsupported(errno);
}

void copy_stored_word(int from, int to) {
  uint32_t word = read_stored_word(from);
  if (word == 0) return;
  unsigned char bytes[4];
  encode_word(word, bytes);
  ::fsetxattr(to, kAttributesXattr, bytes, sizeof bytes, 0);  // best effort, as on a FAT target
}

bool is_read_only_file(const struct stat& st) { return !S_ISDIR(st.st_mode) && (st.st_mode & S_IWUSR) == 0; }

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool copy_by_reading(int in, int out, uint64_t& copied) {
  char chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!write_all(out, chunk, static_cast<size_t>(n))) return false;
    copied += static_cast<uint64_t>(n);
  }
}

// Copies from the current offsets of both descriptors to the end of `in`;
// *copied receives the number of bytes written.
bool copy_contents(int in, int out, uint64_t& copied) {
  copied = 0;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, size_t{1} << 30, 0);
    if (n > 0) {
      copied += static_cast<uint64_t>(n);
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    // The kernel cannot copy between these two (other file systems, overlap
    // of a file with itself, special files): copy through a buffer instead.
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EBADF)
      return copy_by_reading(in, out, copied);
    return false;
  }
}

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }
  // Closes now, so that a failing close (late write errors) is reported.
  bool close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Writes a full copy of the file open on `in` (permission bits, attribute
// word and modification time too) to a new hidden file in `folder`, flushed
// to the disk. Returns its path, or empty with last_error() set.
std::optional<std::string> copy_to_temporary(int in, const struct stat& src_st, const std::string& folder) {
  std::string temp = folder + "/.zypcopy-XXXXXX";
  Fd out(::mkostemp(temp.data(), O_CLOEXEC));
  if (!out.ok()) {
    set_last_error(error_for(errno, temp));
    return std::nullopt;
  }
  uint64_t copied = 0;
  timespec times[2] = {{0, UTIME_OMIT}, src_st.st_mtim};
  bool ok = copy_contents(in, out.get(), copied);
  if (ok) copy_stored_word(in, out.get());  // before fchmod: it needs write permission
  ok = ok && ::fchmod(out.get(), src_st.st_mode & 07777) == 0 && ::futimens(out.get(), times) == 0 &&
       ::fsync(out.get()) == 0;
  if (!out.close()) ok = false;
  if (!ok) {
    set_last_error(win_error_from_errno(errno));
    ::unlink(temp.c_str());
    return std::nullopt;
  }
  return temp;
}

// Renames `from` to `to` unless `to` exists (EEXIST then).
int rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // The file system cannot rename exclusively: a hard link is exclusive too.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

// Puts a finished temporary copy in place of `dst`.
bool commit_copy(const std::string& temp, const std::string& dst, bool replace) {
  int err = 0;
  if (replace) {
    err = ::rename(temp.c_str(), dst.c_str()) == 0 ? 0 : errno;
  } else {
    err = rename_no_replace(temp, dst);
  }
  if (err == 0) return true;
  ::unlink(temp.c_str());
  return fail(err == EEXIST ? (replace ? kErrorAlreadyExists : kErrorFileExists) : error_for(err, dst));
}

bool copy_file_unguarded(const std::string& src, const std::string& dst, bool fail_if_exists) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return fail_errno(src);
  struct stat src_st {};
  if (::fstat(in.get(), &src_st) != 0) return fail(win_error_from_errno(errno));
  if (S_ISDIR(src_st.st_mode)) return fail(kErrorAccessDenied);
  struct stat dst_st {};
  if (::stat(dst.c_str(), &dst_st) == 0) {
    if (fail_if_exists) return fail(kErrorFileExists);
    if (S_ISDIR(dst_st.st_mode) || is_read_only_file(dst_st)) return fail(kErrorAccessDenied);
  }
  auto temp = copy_to_temporary(in.get(), src_st, parent_folder(dst));
  if (!temp) return false;
  return commit_copy(*temp, dst, !fail_if_exists);
}

bool move_across_file_systems(const std::string& src, const std::string& dst) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!in.ok()) return fail_errno(src);
  struct stat src_st {};
  if (::fstat(in.get(), &src_st) != 0) return fail(win_error_from_errno(errno));
  if (S_ISDIR(src_st.st_mode)) return fail(kErrorNotSameDevice);
  auto temp = copy_to_temporary(in.get(), src_st, parent_folder(dst));
  if (!temp) return false;
  int err = rename_no_replace(*temp, dst);
  if (err != 0) {
    ::unlink(temp->c_str());
    return fail(err == EEXIST ? kErrorAlreadyExists : error_for(err, dst));
  }
  if (::unlink(src.c_str()) != 0) {
    err = errno;
    ::unlink(dst.c_str());  // keep the source as the only copy
    return fail(win_error_from_errno(err));
  }
  return true;
}

bool move_file_unguarded(const std::string& src, const std::string& dst) {
  struct stat st {};
  if (::lstat(src.c_str(), &st) != 0) return fail_errno(src);
  if (::renameat2(AT_FDCWD, src.c_str(), AT_FDCWD, dst.c_str(), RENAME_NOREPLACE) == 0) return true;
  int err = errno;
  if (err == EINVAL || err == ENOSYS) {
    // No exclusive rename here (or a folder into itself): test, then rename.
    struct stat dst_st {};
    if (::lstat(dst.c_str(), &dst_st) == 0) return fail(kErrorAlreadyExists);
    if (::rename(src.c_str(), dst.c_str()) == 0) return true;
    err = errno;
  }
  if (err == EEXIST || err == ENOTEMPTY) return fail(kErrorAlreadyExists);
  if (err == EXDEV) return move_across_file_systems(src, dst);
  return fail(error_for(err, dst));
}

bool rewrite_in_place_unguarded(const std::string& src, const std::string& dst) {
  Fd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in.ok()) return fail_errno(src);
  struct stat st {};
  if (::fstat(in.get(), &st) != 0) return fail(win_error_from_errno(errno));
  if (S_ISDIR(st.st_mode)) return fail(kErrorAccessDenied);
  if (::stat(dst.c_str(), &st) != 0) return fail_errno(dst);
  if (S_ISDIR(st.st_mode) || is_read_only_file(st)) return fail(kErrorAccessDenied);
  Fd out(::open(dst.c_str(), O_WRONLY | O_CLOEXEC));
  if (!out.ok()) return fail_errno(dst);
  uint64_t copied = 0;
  bool ok = copy_contents(in.get(), out.get(), copied) && ::ftruncate(out.get(), static_cast<off_t>(copied)) == 0 &&
            ::fsync(out.get()) == 0;
  if (!out.close()) ok = false;
  return ok || fail(win_error_from_errno(errno));
}

uint32_t get_file_attributes_unguarded(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    set_last_error(error_for(errno, path));
    return kInvalidFileAttributes;
  }
  uint32_t word = read_stored_word(path) & ~(kAttributeDirectory | kAttributeNormal);
  if (S_ISDIR(st.st_mode)) return word | kAttributeDirectory;
  word &= ~uint32_t{kAttributeReadOnly};
  if (is_read_only_file(st)) word |= kAttributeReadOnly;
  return word == 0 ? uint32_t{kAttributeNormal} : word;
}

bool set_file_attributes_unguarded(const std::string& path, uint32_t attributes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return fail_errno(path);
  uint32_t stored = attributes & ~(kAttributeDirectory | kAttributeNormal);
  if (S_ISDIR(st.st_mode)) return write_stored_word(path, stored) || fail(win_error_from_errno(errno));

  stored &= ~uint32_t{kAttributeReadOnly};
  mode_t mode = st.st_mode & 07777;
  mode_t wanted = (attributes & kAttributeReadOnly) ? (mode & ~S_IWUSR) : (mode | S_IWUSR);
  if (stored != read_stored_word(path)) {
    // Writing an extended attribute needs write permission, which a
    // read-only file lacks for its (non-root) owner.
    if (!(mode & S_IWUSR) && ::chmod(path.c_str(), mode | S_IWUSR) != 0) return fail(win_error_from_errno(errno));
    if (!write_stored_word(path, stored)) {
      int err = errno;
      ::chmod(path.c_str(), mode);
      return fail(win_error_from_errno(err));
    }
    mode |= S_IWUSR;
  }
  if (wanted != mode && ::chmod(path.c_str(), wanted) != 0) return fail(win_error_from_errno(errno));
  return true;
}

uint32_t random_word() {
  uint32_t word = 0;
  if (::getrandom(&word, sizeof word, GRND_NONBLOCK) == sizeof word) return word;
  static std::atomic<uint32_t> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint32_t>(now.tv_nsec) ^ (static_cast<uint32_t>(::getpid()) << 16) ^ counter++;
}

std::optional<std::string> temp_file_name_unguarded(const std::string& folder, std::string_view prefix) {
  std::string base = folder.empty() ? std::string(".") : folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (base != "/") base += '/';
  base += prefix.substr(0, 3);
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08X.tmp", random_word());
    std::string path = base + hex;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);
      return path;
    }
    if (errno != EEXIST) {
      set_last_error(error_for(errno, path));
      return std::nullopt;
    }
  }
  set_last_error(kErrorFileExists);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> temp_file_name(const std::string& folder, std::string_view prefix) {
  return guarded(std::optional<std::string>(), [&] { return temp_file_name_unguarded(folder, prefix); });
}

std::vector<std::string> entry_names(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      std::string_view name = entry->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool is_temp_file_name(std::string_view path, std::string_view prefix) {
  std::string_view name = path.substr(path.find_last_of('/') + 1);
  prefix = prefix.substr(0, 3);
  constexpr std::string_view kSuffix = ".tmp";
  constexpr size_t kHexDigits = 8;
  if (name.size() != prefix.size() + kHexDigits + kSuffix.size() || !name.starts_with(prefix) ||
      !name.ends_with(kSuffix))
    return false;
  std::string_view hex = name.substr(prefix.size(), kHexDigits);
  return hex.find_first_not_of("0123456789ABCDEF") == std::string_view::npos;
}

bool copy_file(const std::string& src, const std::string& dst, bool fail_if_exists) {
  return guarded(false, [&] { return copy_file_unguarded(src, dst, fail_if_exists); });
}

bool move_file(const std::string& src, const std::string& dst) {
  return guarded(false, [&] { return move_file_unguarded(src, dst); });
}

bool delete_file(const std::string& path) {
  return guarded(false, [&] {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail_errno(path);
    if (S_ISDIR(st.st_mode)) return fail(kErrorAccessDenied);
    if (!S_ISLNK(st.st_mode) && is_read_only_file(st)) return fail(kErrorAccessDenied);
    return ::unlink(path.c_str()) == 0 || fail_errno(path);
  });
}

bool remove_folder(const std::string& path) {
  return guarded(false, [&] {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return fail_errno(path);
    if (!S_ISDIR(st.st_mode)) return fail(kErrorDirectory);
    if (read_stored_word(path) & kAttributeReadOnly) return fail(kErrorAccessDenied);
    if (::rmdir(path.c_str()) == 0) return true;
    if (errno == ENOTEMPTY || errno == EEXIST) return fail(kErrorDirNotEmpty);
    return fail_errno(path);
  });
}

bool rewrite_in_place(const std::string& src, const std::string& dst) {
  return guarded(false, [&] { return rewrite_in_place_unguarded(src, dst); });
}

uint32_t get_file_attributes(const std::string& path) {
  return guarded(kInvalidFileAttributes, [&] { return get_file_attributes_unguarded(path); });
}

bool set_file_attributes(const std::string& path, uint32_t attributes) {
  return guarded(false, [&] { return set_file_attributes_unguarded(path, attributes); });
}

uint64_t filetime_from_timespec(const timespec& time) {
  if (time.tv_sec < -kSecondsFrom1601To1970) return 0;
  uint64_t seconds = static_cast<uint64_t>(time.tv_sec + kSecondsFrom1601To1970);
  if (seconds > UINT64_MAX / kTicksPerSecond - 1) return UINT64_MAX;
  return seconds * kTicksPerSecond + static_cast<uint64_t>(time.tv_nsec) / 100;
}

timespec timespec_from_filetime(uint64_t filetime) {
  timespec time{};
  time.tv_sec = static_cast<time_t>(static_cast<int64_t>(filetime / kTicksPerSecond) - kSecondsFrom1601To1970);
  time.tv_nsec = static_cast<long>(filetime % kTicksPerSecond) * 100;
  return time;
}

std::optional<FileTimes> get_file_times(const std::string& path) {
  return guarded(std::optional<FileTimes>(), [&]() -> std::optional<FileTimes> {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      set_last_error(error_for(errno, path));
      return std::nullopt;
    }
    return FileTimes{filetime_from_timespec(st.st_atim), filetime_from_timespec(st.st_mtim)};
  });
}

bool set_file_times(const std::string& path, std::optional<uint64_t> last_access, std::optional<uint64_t> last_write) {
  return guarded(false, [&] {
    timespec omit{0, UTIME_OMIT};
    timespec times[2] = {last_access ? timespec_from_filetime(*last_access) : omit,
                         last_write ? timespec_from_filetime(*last_write) : omit};
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 || fail_errno(path);
  });
}

std::optional<uint64_t> file_size(const std::string& path) {
  return guarded(std::optional<uint64_t>(), [&]() -> std::optional<uint64_t> {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      set_last_error(error_for(errno, path));
      return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
      set_last_error(kErrorAccessDenied);
      return std::nullopt;
    }
    return static_cast<uint64_t>(st.st_size);
  });
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool is_folder(const std::string& path) { return folder_exists(path); }

}  // namespace zyp::platform
