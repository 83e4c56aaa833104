#include "filecrypt/journal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "filecrypt/file_operation.h"
#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "zyp/zypfile.h"

namespace zyp::file {
namespace {

constexpr std::string_view kRecordMagic{"ZYPJRNL1", 8};
constexpr std::string_view kRecordSuffix{".jrn"};
constexpr uint32_t kMaxPath = 4096;

std::atomic<uint64_t> g_records{0};

// The phases of a record, as stored.
constexpr uint32_t kPrepared = 1;
constexpr uint32_t kRewriting = 2;
constexpr uint32_t kCompleted = 3;  // the target holds its new contents; the files named are still to go

using Record = JournalRecord;

void put_u32(std::string& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void put_u64(std::string& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

void put_text(std::string& out, const std::string& text) {
  put_u32(out, static_cast<uint32_t>(text.size()));
  out += text;
}

std::string encode(const Record& record) {
  std::string out(kRecordMagic);
  put_u32(out, record.phase);
  put_u32(out, static_cast<uint32_t>(record.direction));
  put_u64(out, record.device);
  put_u64(out, record.inode);
  put_text(out, record.target);
  put_text(out, record.copy);
  put_text(out, record.scratch);
  return out;
}

// Reads the fields of a record in order, every length checked against what is left.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  bool at_end() const { return bytes_.empty(); }
  uint64_t number(size_t size) {
    if (bytes_.size() < size) return fail();
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= uint64_t{static_cast<uint8_t>(bytes_[i])} << (8 * i);
    bytes_.remove_prefix(size);
    return value;
  }
  std::string text() {
    uint64_t size = number(4);
    if (!ok_ || size > kMaxPath || size > bytes_.size()) return fail(), std::string();
    std::string value(bytes_.substr(0, size));
    bytes_.remove_prefix(size);
    return value;
  }

 private:
  uint64_t fail() {
    ok_ = false;
    return 0;
  }
  std::string_view bytes_;
  bool ok_ = true;
};

std::optional<Record> decode(std::string_view bytes) {
  if (bytes.substr(0, kRecordMagic.size()) != kRecordMagic) return std::nullopt;
  Reader in(bytes.substr(kRecordMagic.size()));
  Record record;
  uint64_t phase = in.number(4);
  uint64_t direction = in.number(4);
  record.device = in.number(8);
  record.inode = in.number(8);
  record.target = in.text();
  record.copy = in.text();
  record.scratch = in.text();
  if (!in.ok() || !in.at_end() || record.target.empty() || record.copy.empty()) return std::nullopt;
  if (direction != uint32_t(Rewrite::roll_forward) && direction != uint32_t(Rewrite::roll_back)) return std::nullopt;
  if (phase != kPrepared && phase != kRewriting && phase != kCompleted) return std::nullopt;
  record.phase = static_cast<uint32_t>(phase);
  record.direction = static_cast<Rewrite>(direction);
  return record;
}

// Puts the contents of the file `copy` into the file open as `target_fd`.
bool rewrite_from_copy(const std::string& copy, int target_fd) {
  int fd = ::open(copy.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool done = false;
  if (::fstat(fd, &info) == 0) {
    if (info.st_size == 0) {
      done = rewrite_destination(target_fd, {});
    } else if (auto mapping = platform::FileMapping::create(fd, "", 0)) {
      done = rewrite_destination(target_fd, {static_cast<const uint8_t*>(mapping->data()), mapping->size()});
    }
  }
  ::close(fd);
  return done;
}

void erase_file(const std::string& path) {
  if (!path.empty() && platform::file_exists(path)) ZYPSecureEraseEx(path.c_str(), nullptr, 0.0f);
}

void remove_record(const std::string& path) {
  ::unlink(path.c_str());
  int folder = ::open(journal_folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

enum class Settled { done, busy, failed };

// One record: the target, when no operation holds it, gets the copy's
// contents (a target that is gone or was replaced needs nothing).
Settled settle_record(const std::string& record_path, const Record& record) {
  int fd = ::open(record.target.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      return errno == EWOULDBLOCK ? Settled::busy : Settled::failed;
    }
    struct stat info {};
    bool same = ::fstat(fd, &info) == 0 && uint64_t(info.st_dev) == record.device && uint64_t(info.st_ino) == record.inode;
    // A prepared record's target was never written; a completed one's was
    // written whole.
    bool done = !same || record.phase != kRewriting || rewrite_from_copy(record.copy, fd);
    ::close(fd);
    if (!done) return Settled::failed;
  }
  remove_record(record_path);
  erase_file(record.scratch);
  erase_file(record.copy);
  return Settled::done;
}

}  // namespace

std::string journal_folder() { return platform::machine_dir() + "/journal"; }

std::unique_ptr<Journal> Journal::begin(Rewrite direction, const std::string& target, const struct stat& identity,
                                        const std::string& copy, const std::string& scratch) {
  std::string folder = journal_folder();
  if (!platform::make_folders(folder)) return nullptr;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::unique_ptr<Journal> journal(new Journal);
  journal->path_ = folder + "/" + std::to_string(::getpid()) + "-" + std::to_string(g_records++) + "-" +
                   std::to_string(now.tv_sec) + "." + std::to_string(now.tv_nsec) + std::string(kRecordSuffix);
  journal->record_ = {kPrepared, direction, uint64_t(identity.st_dev), uint64_t(identity.st_ino), target, copy, scratch};
  if (!journal->write(Phase::prepared)) return nullptr;
  return journal;
}

Journal::~Journal() {
  if (phase_ != Phase::rewriting && !removed_) remove_record(path_);
}

bool Journal::write(Phase phase) {
  record_.phase = phase == Phase::prepared ? kPrepared : phase == Phase::rewriting ? kRewriting : kCompleted;
  if (!platform::write_file_atomically(path_, encode(record_))) return false;
  phase_ = phase;
  return true;
}

bool Journal::rewriting() { return write(Phase::rewriting); }

void Journal::finish() {
  if (phase_ == Phase::done) return;
  // The record stays, marked completed, until the files it names are erased:
  // an operation killed while erasing them leaves them to the recovery.
  if (!write(Phase::done)) {
    remove_record(path_);
    removed_ = true;
  }
  phase_ = Phase::done;
}

bool Journal::settle(int target_fd) {
  if (!rewrite_from_copy(record_.copy, target_fd)) return false;
  finish();
  return true;
}

bool Journal::pending() const { return phase_ == Phase::rewriting; }

int recover_interrupted_rewrites() {
  std::string folder = journal_folder();
  std::vector<std::string> records;
  for (const std::string& name : platform::entry_names(folder)) {
    if (name.size() > kRecordSuffix.size() && name.ends_with(kRecordSuffix)) records.push_back(folder + "/" + name);
    // A record whose writer was killed before it was complete never started.
    size_t unfinished = name.find(std::string(kRecordSuffix) + ".");
    if (unfinished != std::string::npos)
      platform::remove_stale_temporaries(folder + "/" + name.substr(0, unfinished + kRecordSuffix.size()));
  }
  int settled = 0;
  for (const std::string& path : records) {
    std::optional<std::string> bytes = platform::read_whole_file(path);
    if (!bytes) continue;
    std::optional<Record> record = decode(*bytes);
    if (!record) continue;
    if (settle_record(path, *record) == Settled::done) ++settled;
  }
  return settled;
}

}  // namespace zyp::file

ZYP_API int ZYPRecoverFiles(void) {
  return zyp::platform::guarded(0, [] { return zyp::file::recover_interrupted_rewrites(); });
}
