#include "platform/shared_memory.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/last_error.h"
#include "platform/object_files.h"

namespace zyp::platform {
namespace {

constexpr std::string_view kBlockSuffix = ".shm";

void refuse(std::string* error, uint32_t code, const char* text) {
  set_last_error(code);
  if (!error) return;
  try {
    *error = text;
  } catch (...) {
  }
}

}  // namespace

SharedMemory::SharedMemory(std::string name, std::string path, int fd, void* data, size_t size)
    : name_(std::move(name)), path_(std::move(path)), fd_(fd), data_(data), size_(size), holder_pid_(::getpid()) {}

SharedMemory::~SharedMemory() {
  ::munmap(data_, size_);
  if (holder_pid_ != ::getpid()) {
    ::close(fd_);  // the lock belongs to the parent that still holds the block
    return;
  }
  objects::release_object_file(objects::UniqueFd(fd_), path_);
}

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
    auto path = objects::object_file(name, suffix, error);
    if (!path) return nullptr;
    objects::UniqueFd fd = objects::hold_object_file(*path, size, initial, already_existed, error);
    if (!fd) return nullptr;
    return map_held_file(name, std::move(*path), fd.release(), error);
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

std::unique_ptr<SharedMemory> SharedMemory::open_object(std::string_view name, std::string_view suffix,
                                                        std::string* error) {
  try {
    auto path = objects::object_file(name, suffix, error);
    if (!path) return nullptr;
    objects::UniqueFd fd = objects::hold_existing_object_file(*path, error);
    if (!fd) return nullptr;
    return map_held_file(name, std::move(*path), fd.release(), error);
  } catch (const std::bad_alloc&) {
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

// Maps the whole file, which is at least as large as any holder asked for.
std::unique_ptr<SharedMemory> SharedMemory::map_held_file(std::string_view name, std::string path, int raw_fd,
                                                          std::string* error) {
  objects::UniqueFd fd(raw_fd);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    objects::fail_with_errno(error, "cannot read the size of", path);
    objects::release_object_file(std::move(fd), path);
    return nullptr;
  }
  if (st.st_size == 0) {
    refuse(error, kErrorInvalidParameter, "the shared block is empty");
    objects::release_object_file(std::move(fd), path);
    return nullptr;
  }
  size_t size = static_cast<size_t>(st.st_size);
  void* data = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (data == MAP_FAILED) {
    objects::fail_with_errno(error, "cannot map", path);
    objects::release_object_file(std::move(fd), path);
    return nullptr;
  }
  try {
    std::unique_ptr<SharedMemory> memory(new SharedMemory(std::string(name), path, fd.get(), data, size));
    fd.release();
    return memory;
  } catch (const std::bad_alloc&) {
    ::munmap(data, size);
    objects::release_object_file(std::move(fd), path);
    set_last_error(kErrorNotEnoughMemory);
    return nullptr;
  }
}

}  // namespace zyp::platform
