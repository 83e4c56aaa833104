#include "platform/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace zyp::platform {
namespace {

// mkostemp's template: a dot and six letters or digits after the target's name.
constexpr std::string_view kTemporarySuffix = ".XXXXXX";

std::string folder_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

std::string name_of(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool is_temporary_name(std::string_view name, std::string_view target) {
  if (name.size() != target.size() + kTemporarySuffix.size() || name.substr(0, target.size()) != target) return false;
  std::string_view suffix = name.substr(target.size());
  if (suffix.front() != '.') return false;
  for (char c : suffix.substr(1)) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// Whether `name` still names the file open on `fd`.
bool names_open_file(const std::string& name, int fd) {
  struct stat by_name {}, open_file {};
  return ::lstat(name.c_str(), &by_name) == 0 && ::fstat(fd, &open_file) == 0 && by_name.st_dev == open_file.st_dev &&
         by_name.st_ino == open_file.st_ino;
}

int lock_exclusive(int fd, int flags) {
  int result;
  while ((result = ::flock(fd, LOCK_EX | flags)) != 0 && errno == EINTR) {
  }
  return result;
}

// A new temporary file beside `path`, locked for as long as its descriptor
// stays open: the lock tells remove_stale_temporaries that a live writer
// uses it. Should a cleaner have removed the file between its creation and
// the lock, another one is made. On a file system without locks the file
// stays unlocked, and no cleaner can take the lock that would let it go.
int create_locked_temporary(const std::string& path, std::string& temp) {
  constexpr int kAttempts = 100;  // each retry needs a cleaner to win a race of a few microseconds
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    temp = path + std::string(kTemporarySuffix);
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    if (lock_exclusive(fd, 0) != 0 || names_open_file(temp, fd)) return fd;
    ::close(fd);
  }
  errno = EAGAIN;
  return -1;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void sync_folder_of(const std::string& path) {
  int fd = ::open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

std::optional<std::string> read_whole_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      ::close(fd);
      errno = saved;
      return std::nullopt;
    }
    if (n == 0) break;
    text.append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

bool write_file_atomically(const std::string& path, std::string_view bytes, unsigned mode) {
  std::string temp;
  int fd = create_locked_temporary(path, temp);
  if (fd < 0) return false;
  // The descriptor, and so the lock, is kept until the rename is done.
  bool ok = ::fchmod(fd, mode) == 0 && write_all(fd, bytes) && ::fsync(fd) == 0;
  int saved = errno;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) ::unlink(temp.c_str());
  ::close(fd);  // after fsync and rename, a failing close loses nothing
  if (!ok) {
    errno = saved;
    return false;
  }
  sync_folder_of(path);
  return true;
}

size_t remove_stale_temporaries(const std::string& path) {
  const std::string target = name_of(path);
  if (target.empty()) return 0;
  const std::string folder = folder_of(path);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return 0;
  size_t removed = 0;
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!is_temporary_name(entry->d_name, target)) continue;
    std::string temp = folder + "/" + entry->d_name;
    int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat info {};
    bool stale = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && lock_exclusive(fd, LOCK_NB) == 0 &&
                 names_open_file(temp, fd);
    if (stale && ::unlink(temp.c_str()) == 0) ++removed;
    ::close(fd);
  }
  return removed;
}

}  // namespace zyp::platform
