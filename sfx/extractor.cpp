#include "sfx/extractor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <span>
#include <utility>

#include "sfx/archive_format.h"

namespace zyp::sfx {
namespace {

// A descriptor that closes itself (the extractor links no suite library, so
// not the platform's).
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

bool write_all(int fd, std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  return true;
}

mode_t file_mode() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Writes one entry into a new temporary file of `folder` and gives it its
// name; the temporary file goes again on any failure.
bool write_entry(int folder, const EntryView& entry, bool overwrite, std::string& error) {
  std::string name(entry.name);
  std::string temporary = ".zypsfx-" + std::to_string(::getpid()) + ".tmp";
  Descriptor out(::openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (out.get() < 0) {
    error = system_error("cannot create a file in the target folder");
    return false;
  }
  auto discard = [&] {
    ::unlinkat(folder, temporary.c_str(), 0);
    return false;
  };
  bool decoded = decode_entry(entry, [&](std::span<const uint8_t> bytes) { return write_all(out.get(), bytes); },
                              error);
  if (!decoded) return discard();
  if (::fchmod(out.get(), file_mode()) != 0 || ::close(out.release()) != 0) {
    error = system_error("cannot write " + name);
    return discard();
  }
  int placed = overwrite ? ::renameat(folder, temporary.c_str(), folder, name.c_str())
                         : ::renameat2(folder, temporary.c_str(), folder, name.c_str(), RENAME_NOREPLACE);
  if (placed != 0) {
    error = errno == EEXIST ? name + " exists already (-o overwrites it)" : system_error("cannot create " + name);
    return discard();
  }
  return true;
}

}  // namespace

std::unique_ptr<ArchiveFile> ArchiveFile::open(const std::string& path, std::string& error) {
  Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    error = system_error("cannot open " + path);
    return nullptr;
  }
  if (!S_ISREG(info.st_mode) || info.st_size == 0) {
    error = path + " is no archive";
    return nullptr;
  }
  std::unique_ptr<ArchiveFile> archive(new ArchiveFile);
  void* data = ::mmap(nullptr, static_cast<size_t>(info.st_size), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd.get(), 0);
  if (data == MAP_FAILED) {
    error = system_error("cannot map " + path);
    return nullptr;
  }
  archive->data_ = static_cast<uint8_t*>(data);
  archive->size_ = static_cast<size_t>(info.st_size);
  auto clear = read_clear_part({archive->data_, archive->size_}, error);
  if (!clear) return nullptr;
  archive->clear_ = std::move(*clear);
  return archive;
}

ArchiveFile::~ArchiveFile() {
  if (data_) ::munmap(data_, size_);
}

bool ArchiveFile::unlock(std::string_view password, std::string& error) {
  if (tried_) {
    error = "the archive was opened already";
    return unlocked_;
  }
  tried_ = true;
  ArchiveKey key;
  std::span<uint8_t> region(data_ + clear_.region_offset, size_ - clear_.region_offset);
  if (!derive_archive_key(password, clear_.key_bits, key) || !decrypt_region(key, region)) {
    error = "the archive's key cannot be derived";
    return false;
  }
  if (!region_opens(region)) {
    error = "the password is wrong (or the archive is damaged)";
    return false;
  }
  std::string fault;
  if (!parse_region(region, entries_, fault)) {
    error = "the archive is damaged: " + fault;
    return false;
  }
  unlocked_ = true;
  return true;
}

bool ArchiveFile::extract(const std::string& folder, bool overwrite, std::string& error,
                          const std::function<void(const EntryView&)>& written) const {
  if (!unlocked_) {
    error = "the archive is not open";
    return false;
  }
  Descriptor target(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (target.get() < 0) {
    error = system_error("cannot open the folder " + folder);
    return false;
  }
  if (!overwrite) {
    for (const EntryView& entry : entries_) {
      struct stat info {};
      if (::fstatat(target.get(), std::string(entry.name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        error = std::string(entry.name) + " exists already in " + folder + " (-o overwrites it)";
        return false;
      }
    }
  }
  for (const EntryView& entry : entries_) {
    if (!write_entry(target.get(), entry, overwrite, error)) return false;
    if (written) written(entry);
  }
  return true;
}

}  // namespace zyp::sfx
