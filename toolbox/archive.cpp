// ZYPZip and ZYPUnZip: the folder archive, a plain sequence of 272-byte
// entry headers each followed by the file's bytes.
//
// Both sides move data in large blocks (a 1 MiB buffer that gathers headers
// and small files, and in-kernel copies for large files), so packing a tree
// costs about what tar costs.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dirs.h"
#include "platform/export_guard.h"
#include "toolbox/archive_format.h"
#include "toolbox/folder_listing.h"
#include "zyp/zyptools.h"

namespace zyp::tools {
namespace {

using platform::guarded;

constexpr size_t kBufferSize = 1 << 20;
// Contents at least this long go from file to file inside the kernel.
constexpr size_t kDirectCopyThreshold = 256 * 1024;
constexpr size_t kLargestDirectCopy = size_t{1} << 30;

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

ssize_t read_some(int fd, char* data, size_t size) {
  ssize_t n;
  do {
    n = ::read(fd, data, size);
  } while (n < 0 && errno == EINTR);
  return n;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// ---- packing -----------------------------------------------------------

// Appends to the archive through one large buffer.
class ArchiveWriter {
 public:
  explicit ArchiveWriter(int fd) : fd_(fd), buffer_(kBufferSize) {}

  bool failed() const { return failed_; }

  void append(const void* data, size_t size) {
    if (size > buffer_.size() - used_) flush();
    if (size > buffer_.size()) {
      failed_ |= !write_all(fd_, static_cast<const char*>(data), size);
      return;
    }
    std::memcpy(buffer_.data() + used_, data, size);
    used_ += size;
  }

  void flush() {
    if (used_ > 0) failed_ |= !write_all(fd_, buffer_.data(), used_);
    used_ = 0;
  }

  // Copies exactly `size` bytes of the open file. A file that shrank since its
  // size was taken is padded with zeros, so the archive stays readable.
  void append_contents(int in, uint64_t size) {
    uint64_t left = size;
    if (left >= kDirectCopyThreshold) {
      flush();
      left -= copy_in_kernel(in, left);
    }
    while (left > 0) {
      if (used_ == buffer_.size()) flush();
      size_t room = std::min<uint64_t>(buffer_.size() - used_, left);
      ssize_t n = read_some(in, buffer_.data() + used_, room);
      if (n <= 0) break;
      used_ += static_cast<size_t>(n);
      left -= static_cast<uint64_t>(n);
    }
    pad_with_zeros(left);
  }

 private:
  uint64_t copy_in_kernel(int in, uint64_t size) {
    uint64_t copied = 0;
    while (copied < size) {
      size_t chunk = std::min<uint64_t>(size - copied, kLargestDirectCopy);
      ssize_t n = ::copy_file_range(in, nullptr, fd_, nullptr, chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // unsupported here, or the end of the file: the buffered path goes on
      copied += static_cast<uint64_t>(n);
    }
    return copied;
  }

  void pad_with_zeros(uint64_t count) {
    while (count > 0) {
      if (used_ == buffer_.size()) flush();
      size_t room = std::min<uint64_t>(buffer_.size() - used_, count);
      std::memset(buffer_.data() + used_, 0, room);
      used_ += room;
      count -= room;
    }
  }

  int fd_;
  std::vector<char> buffer_;
  size_t used_ = 0;
  bool failed_ = false;
};

class Packer {
 public:
  Packer(int archive_fd, const struct stat& archive) : writer_(archive_fd), archive_(archive) {}

  // The result of ZYPZip once the walk is done.
  int finish() {
    writer_.flush();
    return writer_.failed() || refused_ ? 1 : 0;
  }

  // One folder: its own entry (not for the top folder), then its items in
  // the order the file system lists them, subfolders depth first. A folder
  // that cannot be opened (folder_fd -1) still gets its entry.
  void pack_folder(int folder_fd, const std::string& relative) {
    if (!relative.empty()) write_header(relative, kArchiveFolderFlag, 0);
    if (folder_fd < 0) return;
    auto items = list_folder(folder_fd);
    if (!items) return;
    for (const FolderItem& item : *items) {
      std::string child = relative.empty() ? item.name : relative + "\\" + item.name;
      // The archive cannot name it: cutting the name would unpack elsewhere,
      // and a backslash would unpack as a folder and a file below it.
      if (child.size() >= kArchivePathField || item.name.find('\\') != std::string::npos) {
        refused_ = true;
        continue;
      }
      if (item.kind == FolderItem::Kind::Folder) {
        FileDescriptor sub(::openat(folder_fd, item.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        pack_folder(sub.get(), child);
      } else if (item.kind == FolderItem::Kind::File || item.kind == FolderItem::Kind::LinkToFile) {
        pack_file(folder_fd, item.name, child);
      }
    }
  }

 private:
  void pack_file(int folder_fd, const std::string& name, const std::string& relative) {
    // Non-blocking, so that a pipe swapped in for the file cannot stall the walk.
    FileDescriptor in(::openat(folder_fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return;  // unreadable files are skipped
    struct stat st {};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (st.st_dev == archive_.st_dev && st.st_ino == archive_.st_ino) return;  // the archive itself
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
      refused_ = true;  // the size field has 32 bits
      return;
    }
    write_header(relative, 0, static_cast<uint32_t>(st.st_size));
    writer_.append_contents(in.get(), static_cast<uint64_t>(st.st_size));
  }

  void write_header(const std::string& relative, uint16_t flags, uint32_t size) {
    ArchiveEntryHeader header{};
    put_le32(header.magic, kArchiveMagic);
    std::memcpy(header.path, relative.data(), relative.size());  // the caller checked that it fits
    put_le16(header.flags, flags);
    put_le32(header.size, size);
    writer_.append(&header, sizeof header);
  }

  ArchiveWriter writer_;
  struct stat archive_;
  bool refused_ = false;
};

int zip(const char* folder, const char* archive) {
  FileDescriptor out(::open(archive, O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  if (!out.valid()) return 1;
  struct stat archive_stat {};
  if (::fstat(out.get(), &archive_stat) != 0 || ::lseek(out.get(), 0, SEEK_END) < 0) return 1;
  FileDescriptor top(open_folder(folder));
  if (!top.valid()) return 0;  // a missing source or a file: nothing to pack
  Packer packer(out.get(), archive_stat);
  packer.pack_folder(top.get(), "");
  return packer.finish();
}

// ---- unpacking ---------------------------------------------------------

// Reads the archive through one large buffer.
class ArchiveReader {
 public:
  explicit ArchiveReader(int fd) : fd_(fd), buffer_(kBufferSize) {}

  // Up to `size` bytes; fewer only at the end of the archive or on an error.
  size_t read(void* out, size_t size) {
    size_t done = 0;
    while (done < size) {
      if (next_ == end_ && !refill()) break;
      size_t chunk = std::min(size - done, end_ - next_);
      std::memcpy(static_cast<char*>(out) + done, buffer_.data() + next_, chunk);
      next_ += chunk;
      done += chunk;
    }
    return done;
  }

  // Passes `size` bytes of contents to `target` (-1: dropped). False when
  // the archive ends first.
  bool copy_contents(uint64_t size, int target, bool& target_failed) {
    uint64_t left = size;
    while (left > 0) {
      if (next_ < end_) {
        size_t chunk = std::min<uint64_t>(left, end_ - next_);
        if (target >= 0 && !target_failed) target_failed = !write_all(target, buffer_.data() + next_, chunk);
        next_ += chunk;
        left -= chunk;
      } else if (left >= kDirectCopyThreshold && target >= 0 && !target_failed && direct_copy_works_) {
        left -= copy_in_kernel(left, target);
      } else if (!refill()) {
        return false;
      }
    }
    return true;
  }

 private:
  bool refill() {
    ssize_t n = read_some(fd_, buffer_.data(), buffer_.size());
    next_ = 0;
    end_ = n > 0 ? static_cast<size_t>(n) : 0;
    return end_ > 0;
  }

  // One in-kernel step; turns itself off where the file systems refuse it.
  uint64_t copy_in_kernel(uint64_t size, int target) {
    size_t chunk = std::min<uint64_t>(size, kLargestDirectCopy);
    ssize_t n = ::copy_file_range(fd_, nullptr, target, nullptr, chunk, 0);
    if (n > 0) return static_cast<uint64_t>(n);
    if (n < 0 && errno == EINTR) return 0;
    direct_copy_works_ = false;  // refused, or the end of the archive: the buffered path decides
    return 0;
  }

  int fd_;
  std::vector<char> buffer_;
  size_t next_ = 0;
  size_t end_ = 0;
  bool direct_copy_works_ = true;
};

// An entry's relative path split into components ('\' inside the archive;
// '/' is taken as a separator too, since on this file system it is one).
// False for a path that would leave the destination: absolute, a drive
// letter, or a ".." component. Empty and "." components are dropped.
bool split_entry_path(std::string_view path, std::vector<std::string>& parts) {
  parts.clear();
  if (!path.empty() && (path.front() == '\\' || path.front() == '/')) return false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view part = path.substr(start, end - start);
    if (part == "..") return false;
    if (parts.empty() && start == 0 && part.size() == 2 && part[1] == ':') return false;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return true;
}

// The destination folder, reached one component at a time without following
// symbolic links, so that no link inside it leads a write elsewhere.
class Destination {
 public:
  explicit Destination(const char* folder) : root_(open_folder(folder)) {}

  void make_folder(const std::vector<std::string>& parts) {
    if (parts.empty()) return;
    int parent = parent_of(parts);
    if (parent >= 0) ::mkdirat(parent, parts.back().c_str(), 0777);  // an existing folder is no error
  }

  // The new or emptied file, or -1 when it cannot be made: a missing parent,
  // a link, a folder or a device in its place, or an existing read-only file.
  int create_file(const std::vector<std::string>& parts) {
    if (parts.empty()) return -1;
    int parent = parent_of(parts);
    if (parent < 0) return -1;
    const char* name = parts.back().c_str();
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && (!S_ISREG(st.st_mode) || !(st.st_mode & S_IWUSR)))
      return -1;
    return ::openat(parent, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  }

 private:
  // The folder that holds the last component; the last one opened is kept,
  // since entries come grouped by folder.
  int parent_of(const std::vector<std::string>& parts) {
    if (!root_.valid()) return -1;
    if (parts.size() == 1) return root_.get();
    std::vector<std::string> parent(parts.begin(), parts.end() - 1);
    if (cached_.valid() && parent == cached_parts_) return cached_.get();
    int fd = root_.get();
    FileDescriptor step;
    for (const std::string& part : parent) {
      int next = ::openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      step.reset(next);
      if (next < 0) return -1;
      fd = next;
    }
    cached_.reset(::dup(fd));
    cached_parts_ = std::move(parent);
    return cached_.get();
  }

  FileDescriptor root_;
  FileDescriptor cached_;
  std::vector<std::string> cached_parts_;
};

enum class Step { Next, End, Fault };

Step unpack_entry(ArchiveReader& reader, Destination& destination, std::vector<std::string>& parts) {
  ArchiveEntryHeader header;
  if (reader.read(&header, sizeof header) < sizeof header) return Step::End;
  if (get_le32(header.magic) != kArchiveMagic) return Step::Fault;
  std::string_view path;
  if (!header_path(header, path) || !split_entry_path(path, parts)) return Step::Fault;
  if (get_le16(header.flags) & kArchiveFolderFlag) {
    destination.make_folder(parts);
    return Step::Next;
  }
  FileDescriptor target(destination.create_file(parts));
  bool target_failed = false;
  bool complete = reader.copy_contents(get_le32(header.size), target.get(), target_failed);
  return complete ? Step::Next : Step::Fault;
}

int unzip(const char* archive, const char* destination_folder) {
  FileDescriptor in(::open(archive, O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return 1;
  platform::make_folders(destination_folder, 0777);
  Destination destination(destination_folder);
  ArchiveReader reader(in.get());
  std::vector<std::string> parts;
  for (;;) {
    switch (unpack_entry(reader, destination, parts)) {
      case Step::Next: break;
      case Step::End: return 0;
      case Step::Fault: return 1;
    }
  }
}

}  // namespace
}  // namespace zyp::tools

ZYP_API int ZYPZip(const char* folder, const char* archive) {
  if (!folder || !archive) return 1;
  return zyp::platform::guarded(1, [&] { return zyp::tools::zip(folder, archive); });
}

ZYP_API int ZYPUnZip(const char* archive, const char* destination) {
  if (!archive || !destination) return 1;
  return zyp::platform::guarded(1, [&] { return zyp::tools::unzip(archive, destination); });
}
