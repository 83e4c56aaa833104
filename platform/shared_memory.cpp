#include "platform/shared_memory.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <new>

#include "platform/last_error.h"
#include "platform/object_files.h"

namespace zyp::platform {
namespace {

using objects::HeldObjectFile;

constexpr std::string_view kBlockSuffix = ".shm";
// What a block is first read with: one read for the usual small block,
// without asking for its size first.
constexpr size_t kFirstReadSize = 4096;

void refuse(std::string* error, uint32_t code, const char* text) {
  set_last_error(code);
  if (!error) return;
  try {
    *error = text;
  } catch (...) {
  }
}

// Holds the file of block `name` (created when `create`, else only when a
// live process holds it), kept for reuse after its last holder when
// `reusable`. Null on failure, with last_error() set.
std::unique_ptr<HeldObjectFile> hold_block(std::string_view name, std::string_view suffix, bool create,
                                           size_t size, std::string_view initial, bool* already_existed,
                                           std::string* error, bool reusable = false) {
  auto path = objects::object_file(name, suffix, error);
  if (!path) return nullptr;
  bool existed = !create;
  objects::UniqueFd fd = create ? objects::hold_object_file(*path, size, initial, &existed, error, reusable)
                                : objects::hold_existing_object_file(*path, error, reusable);
  if (!fd) return nullptr;
  if (already_existed) *already_existed = existed;
  return std::make_unique<HeldObjectFile>(std::move(fd), std::move(*path), existed, reusable);
}

void fail_with_errno(std::string* error, std::string_view what, const HeldObjectFile& file) {
  objects::fail_with_errno(error, what, file.path());
}

// explicit_bzero, which must not be given the null pointer of an empty vector.
void wipe_bytes(void* data, size_t size) {
  if (size > 0) explicit_bzero(data, size);
}

// Zeroes a buffer of block bytes (as it is then) when the scope ends,
// whichever way: blocks may carry secrets, so no copy is left behind in freed
// memory. A vector moved away by then is empty and nothing is zeroed.
template <typename Bytes>
class WipedOnExit {
 public:
  explicit WipedOnExit(Bytes& bytes) : bytes_(bytes) {}
  ~WipedOnExit() { wipe_bytes(std::data(bytes_), std::size(bytes_)); }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

 private:
  Bytes& bytes_;
};

// The whole block; empty (errno set) on failure or when the block is empty.
std::vector<uint8_t> read_whole_block(const HeldObjectFile& file) {
  uint8_t first[kFirstReadSize];
  WipedOnExit wiped(first);
  ssize_t n;
  do {
    n = ::pread(file.fd(), first, sizeof first, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return {};
  size_t size = static_cast<size_t>(n);
  struct stat st {};
  if (size == sizeof first) {
    if (::fstat(file.fd(), &st) != 0) return {};
    size = static_cast<size_t>(st.st_size);
  }
  std::vector<uint8_t> bytes(size);
  std::memcpy(bytes.data(), first, std::min(size, static_cast<size_t>(n)));
  if (size > static_cast<size_t>(n) &&
      !objects::read_all_at(file.fd(), bytes.data() + n, size - static_cast<size_t>(n), static_cast<uint64_t>(n))) {
    wipe_bytes(bytes.data(), bytes.size());
    return {};
  }
  return bytes;
}

}  // namespace

SharedMemory::SharedMemory(std::string name, std::unique_ptr<HeldObjectFile> file, void* data, size_t size)
    : name_(std::move(name)), file_(std::move(file)), data_(data), size_(size) {}

SharedMemory::~SharedMemory() { ::munmap(data_, size_); }

std::unique_ptr<SharedMemory> SharedMemory::create(std::string_view name, size_t size, bool* already_existed,
                                                   std::string* error) {
  return create_object(name, kBlockSuffix, size, {}, already_existed, error);
}

std::unique_ptr<SharedMemory> SharedMemory::open(std::string_view name, std::string* error) {
  return open_object(name, kBlockSuffix, error);
}

std::unique_ptr<SharedMemory> SharedMemory::create_object(std::string_view name, std::string_view suffix,
                                                          size_t size, std::string_view initial,
                                                          bool* already_existed, std::string* error) {
  try {
    if (size == 0 || initial.size() > size) {
      refuse(error, kErrorInvalidParameter, "a shared block needs a size of at least its initial contents");
      return nullptr;
    }
    auto file = hold_block(name, suffix, true, size, initial, already_existed, error);
    return file ? map_held_file(name, std::move(file), error) : nullptr;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<SharedMemory> SharedMemory::open_object(std::string_view name, std::string_view suffix,
                                                        std::string* error) {
  try {
    auto file = hold_block(name, suffix, false, 0, {}, nullptr, error);
    return file ? map_held_file(name, std::move(file), error) : nullptr;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

// Maps the whole file, which is at least as large as any holder asked for.
// The hold is dropped again when the block cannot be mapped.
std::unique_ptr<SharedMemory> SharedMemory::map_held_file(std::string_view name,
                                                          std::unique_ptr<HeldObjectFile> file,
                                                          std::string* error) {
  struct stat st {};
  if (::fstat(file->fd(), &st) != 0) {
    fail_with_errno(error, "cannot read the size of", *file);
    return nullptr;
  }
  if (st.st_size == 0) {
    refuse(error, kErrorInvalidParameter, "the shared block is empty");
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd(), 0);
  if (data == MAP_FAILED) {
    fail_with_errno(error, "cannot map", *file);
    return nullptr;
  }
  try {
    return std::unique_ptr<SharedMemory>(new SharedMemory(std::string(name), std::move(file), data, size));
  } catch (const std::bad_alloc&) {
    ::munmap(data, size);
    throw;
  }
}

// ---- SharedBytes ------------------------------------------------------------

SharedBytes::SharedBytes(std::unique_ptr<HeldObjectFile> file, std::vector<uint8_t> copy)
    : file_(std::move(file)), copy_(std::move(copy)) {}

SharedBytes::~SharedBytes() { wipe_bytes(copy_.data(), copy_.size()); }

std::unique_ptr<SharedBytes> SharedBytes::create(std::string_view name, std::vector<uint8_t> contents,
                                                 bool* already_existed, std::string* error) {
  WipedOnExit wiped(contents);  // unless the block takes them over
  try {
    if (contents.empty()) {
      refuse(error, kErrorInvalidParameter, "a shared block needs a size of at least one byte");
      return nullptr;
    }
    bool existed = false;
    std::string_view initial(reinterpret_cast<const char*>(contents.data()), contents.size());
    auto file = hold_block(name, kBlockSuffix, true, contents.size(), initial, &existed, error, true);
    if (!file) return nullptr;
    if (already_existed) *already_existed = existed;
    std::unique_ptr<SharedBytes> block(new SharedBytes(std::move(file), std::move(contents)));
    if (existed) {
      wipe_bytes(block->copy_.data(), block->copy_.size());
      block->copy_ = read_whole_block(*block->file_);
      if (block->copy_.empty()) {
        fail_with_errno(error, "cannot read", *block->file_);
        return nullptr;
      }
    }
    return block;
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<SharedBytes> SharedBytes::open(std::string_view name, std::string* error) {
  try {
    auto file = hold_block(name, kBlockSuffix, false, 0, {}, nullptr, error, true);
    if (!file) return nullptr;
    errno = 0;
    std::vector<uint8_t> copy = read_whole_block(*file);
    WipedOnExit wiped(copy);  // unless the block takes it over
    if (copy.empty()) {
      if (errno == 0) {
        refuse(error, kErrorInvalidParameter, "the shared block is empty");
      } else {
        fail_with_errno(error, "cannot read", *file);
      }
      return nullptr;
    }
    return std::unique_ptr<SharedBytes>(new SharedBytes(std::move(file), std::move(copy)));
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

bool SharedBytes::load() {
  if (objects::read_all_at(file_->fd(), copy_.data(), copy_.size(), 0)) return true;
  set_last_error(win_error_from_errno(errno));
  return false;
}

bool SharedBytes::store() {
  if (objects::write_all_at(file_->fd(), copy_.data(), copy_.size(), 0)) return true;
  set_last_error(win_error_from_errno(errno));
  return false;
}

bool SharedBytes::wipe() {
  wipe_bytes(copy_.data(), copy_.size());
  return store();
}

}  // namespace zyp::platform
