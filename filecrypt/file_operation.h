#pragma once
// What the encryption and the decryption of a file share: the advisory lock
// on the files, the progress window, temporary files, the named mappings the
// server works on, and the final rewrite of the destination in place.
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/file_mapping.h"
#include "zyp/zypfile.h"

struct ZYPWindow;

namespace zyp::file {

class Journal;

// Where an operation's time goes, for the benchmarks: with ZYP_FILE_TIMINGS
// set in the environment, every file operation ends with one line on stderr
// naming the seconds spent in the server's cipher, in the check value's
// digest, in rewriting the destination, in erasing the temporary files, and
// the rest (reading, copying, compressing, framing).
enum class Phase { crypto, check_value, rewrite, erase, count_ };

class OperationTimes {
 public:
  explicit OperationTimes(const char* operation);
  ~OperationTimes();
  OperationTimes(const OperationTimes&) = delete;
  OperationTimes& operator=(const OperationTimes&) = delete;

  // Adds to the phase of the operation being timed, if any.
  static void add(Phase phase, double seconds);

 private:
  const char* operation_;
  double start_;
  double phases_[static_cast<int>(Phase::count_)] = {};
  OperationTimes* outer_;
};

// Times its own scope as `phase` of the running operation.
class PhaseTimer {
 public:
  explicit PhaseTimer(Phase phase);
  ~PhaseTimer();
  PhaseTimer(const PhaseTimer&) = delete;
  PhaseTimer& operator=(const PhaseTimer&) = delete;

 private:
  Phase phase_;
  double start_;
};

// The names of the mappings that the server encrypts and decrypts.
inline constexpr char kEncryptStem[] = "ZYPCRYPT_FILE";
inline constexpr char kDecryptStem[] = "ZYPUNCRYPT_FILE";

// A file opened for an operation and locked (flock, exclusive) for its
// length. A thread that already holds the lock on the same file (the
// decryption that precedes a re-encryption) does not wait for itself.
class LockedFile {
 public:
  // Opens read-write; with `create`, a missing file is made with `mode`.
  // Null with errno set on failure.
  static std::unique_ptr<LockedFile> open(const std::string& path, bool create, mode_t mode = 0600);
  ~LockedFile();
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  int fd() const { return fd_; }
  const struct stat& info() const { return info_; }
  // Reads the size again after the file was rewritten; the times stay those
  // found when it was opened, which the operation gives back.
  void refresh_size();
  bool same_file(const LockedFile& other) const {
    return info_.st_dev == other.info_.st_dev && info_.st_ino == other.info_.st_ino;
  }

 private:
  LockedFile(int fd, const struct stat& info, bool locked) : fd_(fd), info_(info), locked_(locked) {}
  int fd_;
  struct stat info_;
  bool locked_;
};

// The progress window of one file: shown only when asked for.
class FileProgress {
 public:
  FileProgress(bool shown) : shown_(shown) {}
  ~FileProgress();
  // Makes the window with the file's name and size in KiB, at 10 %.
  void start(const std::string& path, uint64_t size);
  void set(float percent);

 private:
  bool shown_;
  ZYPWindow* window_ = nullptr;
};

// A temporary file (mode 0600), securely erased when the object goes (or
// only deleted when it never held anything but ciphertext).
class TempFile {
 public:
  // In the temporary folder.
  static std::unique_ptr<TempFile> create();
  // In the folder of `path`, so on its file system; in the temporary folder
  // when that folder takes no new file.
  static std::unique_ptr<TempFile> create_beside(const std::string& path);
  // Leaves the file on the disk (a journal record still needs it).
  void keep() { kept_ = true; }
  // It holds nothing but ciphertext, written as such: deleting it leaves
  // nothing to recover, so the overwrite passes are spared.
  void holds_only_ciphertext() { erase_ = false; }
  // Forces its contents to the disk.
  bool sync() const;
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  TempFile(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  static std::unique_ptr<TempFile> create_in(const std::string& folder);
  std::string path_;
  int fd_;
  bool kept_ = false;
  bool erase_ = true;
};

// Maps `size` bytes of `fd` under the descriptor "<stem> <offset> <length>"
// that the server opens by name. While another operation holds the same
// name (a file of the same length) this waits for it.
std::unique_ptr<platform::FileMapping> named_mapping(int fd, const char* stem, uint64_t offset, uint64_t length,
                                                     uint64_t size);
// An unnamed writable mapping of `size` bytes of `fd` (extended as needed).
std::unique_ptr<platform::FileMapping> plain_mapping(int fd, uint64_t size);

// Writes `bytes` over the contents of the destination itself (same inode),
// sets its length and forces it to the disk. False with errno on failure.
bool rewrite_destination(int fd, std::span<const uint8_t> bytes);

// The attribute word of a file, set to normal for the operation and given
// back when the object goes (also after a failure).
class AttributesKept {
 public:
  explicit AttributesKept(std::string path);
  ~AttributesKept();
  AttributesKept(const AttributesKept&) = delete;
  AttributesKept& operator=(const AttributesKept&) = delete;

 private:
  bool changed() const;
  std::string path_;
  uint32_t attributes_;
};

// The library's own file accesses, told to the hook (ZYPSetAPICaller).
class ApiCallerScope {
 public:
  ApiCallerScope();
  ~ApiCallerScope();
  ApiCallerScope(const ApiCallerScope&) = delete;
  ApiCallerScope& operator=(const ApiCallerScope&) = delete;
};

// The token, algorithm and key of one operation.
struct CipherKey {
  uint32_t token;
  uint32_t algo;
  uint32_t key;
};

// The check value of the image of `length` bytes in the file open as `fd`,
// whose CheckValue field is zero: its SHA-1 digest (run by the server over
// the mapping "<stem> 0 <length>"), with four zero bytes, encrypted. The
// provider's result.
int compute_check_value(const CipherKey& key, int fd, const char* stem, uint64_t length,
                        uint8_t (&check_value)[24]);

// Encrypts or decrypts in place, in the server, the `length` bytes at
// `offset` of the file open as `fd`. The provider's result, or 12 when the
// mapping cannot be made.
int crypt_in_server(const CipherKey& key, bool encrypt, int fd, uint64_t offset, uint64_t length);

// Where an operation puts its result: the source itself when the paths name
// one file, else the destination file, opened (made with the source's
// permission bits when missing) and locked from the start, so that a journal
// record naming it is never taken for a dead operation's. A file made here
// is deleted again unless the operation completes; an existing one gets its
// attributes back at the end.
class Destination {
 public:
  // Null with errno set when the other file cannot be opened.
  static std::unique_ptr<Destination> open(LockedFile& source, const std::string& path);
  ~Destination();
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  LockedFile& file() { return other_ ? *other_ : source_; }
  const std::string& path() const { return path_; }
  bool is_source() const { return !other_; }
  // The rewrite is on the disk: a file made for it stays.
  void completed() { completed_ = true; }

 private:
  Destination(LockedFile& source, std::string path) : source_(source), path_(std::move(path)) {}
  LockedFile& source_;
  std::string path_;
  std::optional<AttributesKept> kept_;
  std::unique_ptr<LockedFile> other_;
  bool created_ = false;
  bool completed_ = false;
};

// Puts `contents` in place of the destination's, rewriting it in place, and
// gives it the source's access and modification times. 0, or the system's
// error number. A failed rewrite is settled from the journal's copy at once,
// or at the next start.
int replace_destination(const LockedFile& source, Destination& destination, std::span<const uint8_t> contents,
                        Journal& journal);

// The permission checks of the folder operations, wired in here: encryption
// answers 0 or 43 (the file is already encrypted), decryption 0.
int encryption_permission(const char* path);
int decryption_permission(const char* path);

}  // namespace zyp::file
