#include "filecrypt/file_operation.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <thread>
#include <utility>
#include <vector>

#include "filecrypt/header_format.h"
#include "filecrypt/journal.h"
#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/last_error.h"
#include "zyp/zypclient.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"
#include "zyp/zyptools.h"

namespace zyp::file {
namespace {

constexpr uint32_t kErrorAlreadyExists = 183;
// How long an operation waits for another one to give up a mapping name.
constexpr auto kNameWait = std::chrono::minutes(2);
constexpr size_t kWriteChunk = size_t{8} << 20;
constexpr uint32_t kSha1 = 0x220;
constexpr uint32_t kNamedMappingLength = 0xFFFFFFFFu;

// The files this thread holds locked, by identity.
thread_local std::vector<std::pair<dev_t, ino_t>> t_locked;

bool held_by_this_thread(const struct stat& info) {
  return std::find(t_locked.begin(), t_locked.end(), std::pair{info.st_dev, info.st_ino}) != t_locked.end();
}

int lock_exclusive(int fd) {
  int result;
  do result = ::flock(fd, LOCK_EX);
  while (result != 0 && errno == EINTR);
  return result;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::unique_ptr<LockedFile> LockedFile::open(const std::string& path, bool create, mode_t mode) {
  int flags = O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = ::open(path.c_str(), flags, mode);
  if (fd < 0) return nullptr;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    int error = S_ISREG(info.st_mode) ? errno : EISDIR;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  bool take = !held_by_this_thread(info);
  if (take) {
    if (lock_exclusive(fd) != 0) {
      int error = errno;
      ::close(fd);
      errno = error;
      return nullptr;
    }
    // The size may have changed while this waited.
    ::fstat(fd, &info);
    t_locked.emplace_back(info.st_dev, info.st_ino);
  }
  return std::unique_ptr<LockedFile>(new LockedFile(fd, info, take));
}

void LockedFile::refresh_size() {
  struct stat now {};
  if (::fstat(fd_, &now) == 0) info_.st_size = now.st_size;
}

LockedFile::~LockedFile() {
  if (locked_) {
    auto held = std::find(t_locked.begin(), t_locked.end(), std::pair{info_.st_dev, info_.st_ino});
    if (held != t_locked.end()) t_locked.erase(held);
  }
  ::close(fd_);  // also releases the lock
}

FileProgress::~FileProgress() {
  if (window_) ZYPDestroyProgress(window_);
}

void FileProgress::start(const std::string& path, uint64_t size) {
  if (!shown_ || window_) return;
  char product[260] = {};
  ZYPGetProductName(product, sizeof product);
  window_ = ZYPInitProgress(nullptr, product, 0);
  if (!window_) return;
  char line[512];
  std::snprintf(line, sizeof line, "%s (%lu Ko)", base_name(path).c_str(), static_cast<unsigned long>(size / 1024));
  ZYPSetProgressFilename(window_, line);
  std::this_thread::yield();
  ZYPSetProgress(window_, 10.0f);
}

void FileProgress::set(float percent) {
  if (window_) ZYPSetProgress(window_, percent);
}

namespace {

// The operation being timed. Timing is a diagnostic for the benchmarks, which
// run one operation at a time, so one pointer for the process does; a
// thread-local one would also grow the thread storage of a library that is
// loaded at run time, which the leak checker of the sanitizer builds reads
// wrongly.
std::atomic<OperationTimes*> g_running_operation{nullptr};

// Timing is off unless asked for.
bool timings_wanted() {
  static const bool wanted = std::getenv("ZYP_FILE_TIMINGS") != nullptr;
  return wanted;
}

double now_seconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

OperationTimes::OperationTimes(const char* operation)
    : operation_(operation), start_(now_seconds()), outer_(timings_wanted() ? g_running_operation.load() : nullptr) {
  if (timings_wanted()) g_running_operation = this;
}

OperationTimes::~OperationTimes() {
  if (!timings_wanted()) return;
  g_running_operation = outer_;
  double total = now_seconds() - start_, rest = total;
  for (double phase : phases_) rest -= phase;
  std::fprintf(stderr,
               "zypfile %s: %.3f s: cipher %.3f, check value %.3f, rewrite %.3f, erase %.3f, "
               "reading and copying %.3f\n",
               operation_, total, phases_[static_cast<int>(Phase::crypto)],
               phases_[static_cast<int>(Phase::check_value)], phases_[static_cast<int>(Phase::rewrite)],
               phases_[static_cast<int>(Phase::erase)], rest);
}

void OperationTimes::add(Phase phase, double seconds) {
  OperationTimes* running = timings_wanted() ? g_running_operation.load() : nullptr;
  if (running) running->phases_[static_cast<int>(phase)] += seconds;
}

PhaseTimer::PhaseTimer(Phase phase) : phase_(phase), start_(now_seconds()) {}

PhaseTimer::~PhaseTimer() { OperationTimes::add(phase_, now_seconds() - start_); }

std::unique_ptr<TempFile> TempFile::create() { return create_in(platform::temp_dir()); }

std::unique_ptr<TempFile> TempFile::create_beside(const std::string& path) {
  size_t slash = path.find_last_of('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  auto beside = create_in(folder);
  return beside ? std::move(beside) : create();
}

bool TempFile::sync() const { return ::fdatasync(fd_) == 0; }

std::unique_ptr<TempFile> TempFile::create_in(const std::string& folder) {
  std::optional<std::string> path = platform::temp_file_name(folder, "ZYP");
  if (!path) return nullptr;
  int fd = ::open(path->c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    ::unlink(path->c_str());
    return nullptr;
  }
  return std::unique_ptr<TempFile>(new TempFile(std::move(*path), fd));
}

TempFile::~TempFile() {
  ::close(fd_);
  if (kept_) return;
  PhaseTimer timer(Phase::erase);
  if (erase_) ZYPSecureEraseEx(path_.c_str(), nullptr, 0.0f);
  else ::unlink(path_.c_str());
}

std::unique_ptr<platform::FileMapping> named_mapping(int fd, const char* stem, uint64_t offset, uint64_t length,
                                                     uint64_t size) {
  char name[96];
  std::snprintf(name, sizeof name, "%s %lu %lu", stem, static_cast<unsigned long>(offset),
                static_cast<unsigned long>(length));
  auto give_up = std::chrono::steady_clock::now() + kNameWait;
  for (;;) {
    auto mapping = platform::FileMapping::create(fd, name, size);
    if (mapping || platform::last_error() != kErrorAlreadyExists || std::chrono::steady_clock::now() > give_up)
      return mapping;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::unique_ptr<platform::FileMapping> plain_mapping(int fd, uint64_t size) {
  return platform::FileMapping::create(fd, "", size);
}

bool rewrite_destination(int fd, std::span<const uint8_t> bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    size_t chunk = std::min(kWriteChunk, bytes.size() - done);
    ssize_t written = ::pwrite(fd, bytes.data() + done, chunk, static_cast<off_t>(done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<size_t>(written);
  }
  return ::ftruncate(fd, static_cast<off_t>(bytes.size())) == 0 && ::fdatasync(fd) == 0;
}

AttributesKept::AttributesKept(std::string path)
    : path_(std::move(path)), attributes_(platform::get_file_attributes(path_)) {
  if (changed()) platform::set_file_attributes(path_, platform::kAttributeNormal);
}

AttributesKept::~AttributesKept() {
  if (changed()) platform::set_file_attributes(path_, attributes_);
}

bool AttributesKept::changed() const {
  return attributes_ != platform::kInvalidFileAttributes && attributes_ != platform::kAttributeNormal;
}

ApiCallerScope::ApiCallerScope() { ZYPSetAPICaller(1); }
ApiCallerScope::~ApiCallerScope() { ZYPSetAPICaller(0); }

int compute_check_value(const CipherKey& key, int fd, const char* stem, uint64_t length,
                        uint8_t (&check_value)[24]) {
  PhaseTimer timer(Phase::check_value);
  auto image = named_mapping(fd, stem, 0, length, length);
  if (!image) return ZYPFILE_CANNOT_OPEN;
  std::string descriptor = image->name();
  uint8_t digest[24] = {};
  uint32_t digest_length = 20;
  int result = ZYPCIPHashBuffer(key.token, kSha1, reinterpret_cast<const uint8_t*>(descriptor.c_str()),
                                kNamedMappingLength, digest, &digest_length);
  if (result != ZYPCIP_OK) return result;
  uint32_t check_length = sizeof digest;
  result = ZYPCIPCryptBuffer(key.token, key.algo, key.key, digest, &check_length);
  if (result == ZYPCIP_OK) std::memcpy(check_value, digest, sizeof digest);
  return result;
}

int crypt_in_server(const CipherKey& key, bool encrypt, int fd, uint64_t offset, uint64_t length) {
  PhaseTimer timer(Phase::crypto);
  auto mapping = named_mapping(fd, encrypt ? kEncryptStem : kDecryptStem, offset, length, offset + length);
  if (!mapping) return ZYPFILE_CANNOT_OPEN;
  std::string descriptor = mapping->name();
  uint32_t named = kNamedMappingLength;
  auto* buffer = reinterpret_cast<uint8_t*>(descriptor.data());
  return encrypt ? ZYPCIPCryptBuffer(key.token, key.algo, key.key, buffer, &named)
                 : ZYPCIPDecryptBuffer(key.token, key.algo, key.key, buffer, &named);
}

namespace {

// Whether `path` names the file open as `file`.
bool names_file(const LockedFile& file, const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && info.st_dev == file.info().st_dev && info.st_ino == file.info().st_ino;
}

}  // namespace

std::unique_ptr<Destination> Destination::open(LockedFile& source, const std::string& path) {
  std::unique_ptr<Destination> destination(new Destination(source, path));
  if (names_file(source, path)) return destination;
  destination->created_ = ::access(path.c_str(), F_OK) != 0;
  destination->kept_.emplace(path);
  destination->other_ = LockedFile::open(path, true, source.info().st_mode & 0777);
  if (!destination->other_) return nullptr;
  return destination;
}

Destination::~Destination() {
  if (created_ && !completed_) ::unlink(path_.c_str());
}

int replace_destination(const LockedFile& source, Destination& destination, std::span<const uint8_t> contents,
                        Journal& journal) {
  PhaseTimer timer(Phase::rewrite);
  LockedFile& target = destination.file();
  // Room for the whole contents first (the length stays), so that a full
  // disk fails before a byte of the destination is changed.
  if (contents.size() > static_cast<uint64_t>(target.info().st_size) &&
      ::fallocate(target.fd(), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(contents.size())) != 0 &&
      errno != EOPNOTSUPP && errno != ENOSYS)
    return static_cast<int>(platform::win_error_from_errno(errno));
  if (!journal.rewriting()) return ZYPFILE_CANNOT_OPEN;
  if (!rewrite_destination(target.fd(), contents)) {
    int error = static_cast<int>(platform::win_error_from_errno(errno));
    journal.settle(target.fd());
    return error;
  }
  journal.finish();
  destination.completed();
  const timespec times[2] = {source.info().st_atim, source.info().st_mtim};
  ::futimens(target.fd(), times);
  return ZYPFILE_OK;
}

// The permission checks of a single file (exclusion lists, CD-ROMs, the
// hook's answer, a session for the key), shared with the folder operations.
int encryption_permission(const char* path) { return ZYPAllowEncryption(path); }

int decryption_permission(const char* path) { return ZYPAllowDecryption(path); }

}  // namespace zyp::file
