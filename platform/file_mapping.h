#pragma once
// Mapping of an open file, optionally under a name that other processes can
// open (CreateFileMapping on a file handle, OpenFileMapping, MapViewOfFile).
//
// Both sides map the same file pages shared, so a change made through either
// is seen by the other at once. A name is registered in the record file
// `<name>.fmap` under the runtime folder: the creator (process id and start
// time), the file (its descriptor in the creator, its path and identity) and
// the size. The creator removes the name when its object goes; a record left
// by a creator that was killed counts as absent.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace zyp::platform {

class FileMapping {
 public:
  // Maps the regular file open as `fd`: read/write when fd was opened for
  // reading and writing, read-only when it was opened for reading only. The
  // mapping keeps its own duplicate of fd, so the caller may close theirs.
  // `size` 0 maps the whole file (an empty file cannot be mapped: last_error()
  // 1006); a size beyond the end first extends the file with zeros, which
  // needs a writable fd. A non-empty `name` is registered; a name that a live
  // creator holds fails with last_error() 183. Null on failure, with
  // last_error() set and *error (when given) explaining.
  static std::unique_ptr<FileMapping> create(int fd, std::string_view name, uint64_t size,
                                             std::string* error = nullptr);

  // Maps the file registered under `name` with the creator's access, never
  // past the current end of the file. Null with last_error() 2 when no live
  // creator has registered the name.
  static std::unique_ptr<FileMapping> open(std::string_view name, std::string* error = nullptr);

  ~FileMapping();
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;

  void* data() const { return data_; }
  size_t size() const { return size_; }
  bool writable() const { return writable_; }
  const std::string& name() const { return name_; }

  // Writes changed pages to the file now (FlushViewOfFile).
  bool flush();

  // Sets up the pages of `length` bytes from `offset` (clipped to the
  // mapping) in one go, ready for writing when `for_writing` and the mapping
  // is writable. Faulting a large range in page by page costs far more. Only
  // a hint: failures are ignored and the pages then fault in as they are used.
  void prefault(uint64_t offset, uint64_t length, bool for_writing) const;

  // Guards this thread's accesses to the mapping against its file shrinking
  // (another process may truncate a file it shares). While a guard lives, an
  // access to a page that the file no longer holds finds zeros instead of
  // ending the process with SIGBUS: from that page on, the mapping is
  // replaced by private pages that are not part of the file, and
  // file_shrank() says so. The code that touched the page runs to its end as
  // usual (its locks and state are released as on any other call); only its
  // result is void. SIGBUS on other threads or other addresses keeps the
  // handling it had before.
  class ShrinkGuard {
   public:
    explicit ShrinkGuard(const FileMapping& mapping);
    ~ShrinkGuard();
    ShrinkGuard(const ShrinkGuard&) = delete;
    ShrinkGuard& operator=(const ShrinkGuard&) = delete;

    bool file_shrank() const;

    // Where the guard of the current thread stands; used by the handler.
    struct Range {
      uintptr_t begin;
      uintptr_t end;
      volatile int shrank;
    };

   private:
    Range range_;
    Range* outer_;
  };

 private:
  FileMapping(std::string name, int fd, void* data, size_t size, bool writable);
  static std::unique_ptr<FileMapping> map(std::string_view name, int fd, size_t size, bool writable,
                                          std::string* error);
  bool register_name(std::string* error);
  void unregister_name() noexcept;

  std::string name_;
  std::string record_path_;  // set only in the creator of a named mapping
  int fd_;
  void* data_;
  size_t size_;
  bool writable_;
  int creator_pid_;
};

}  // namespace zyp::platform
