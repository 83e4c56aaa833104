#pragma once
// Named shared memory: the stand-in for a library's shared data section and
// for a named page-file-backed file mapping.
//
// A name stands for a file under the runtime folder, mapped shared by every
// process that has it open. The memory lives while at least one live process
// holds it; when the last holder closes it or dies, the next create starts
// again from zero bytes (what Windows does when the last handle goes). A
// holder is known by a kernel lock on the file, so a killed holder stops
// counting at once and a reused process id never counts.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zyp::platform {
namespace objects {
class HeldObjectFile;
}

class SharedMemory {
 public:
  // Opens `name`, creating it with `size` zero bytes when no live process
  // holds it. *already_existed (when given) tells whether another live process
  // held it. An existing block smaller than `size` is extended with zeros.
  // Null on failure, with last_error() set and *error (when given) explaining.
  static std::unique_ptr<SharedMemory> create(std::string_view name, size_t size,
                                              bool* already_existed = nullptr,
                                              std::string* error = nullptr);

  // Opens `name` only when a live process holds it; maps its whole size.
  // Null (last_error() 2, file not found) when nobody holds it.
  static std::unique_ptr<SharedMemory> open(std::string_view name, std::string* error = nullptr);

  // The same for objects that live in a shared block (named events): `suffix`
  // keeps their files apart from plain blocks of the same name, and `initial`
  // is written over the zero bytes of a block that is created afresh, before
  // any other process can open it.
  static std::unique_ptr<SharedMemory> create_object(std::string_view name, std::string_view suffix,
                                                     size_t size, std::string_view initial,
                                                     bool* already_existed, std::string* error);
  static std::unique_ptr<SharedMemory> open_object(std::string_view name, std::string_view suffix,
                                                   std::string* error);

  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  void* data() const { return data_; }
  size_t size() const { return size_; }
  const std::string& name() const { return name_; }

 private:
  SharedMemory(std::string name, std::unique_ptr<objects::HeldObjectFile> file, void* data, size_t size);
  static std::unique_ptr<SharedMemory> map_held_file(std::string_view name,
                                                     std::unique_ptr<objects::HeldObjectFile> file,
                                                     std::string* error);
  std::string name_;
  std::unique_ptr<objects::HeldObjectFile> file_;
  void* data_;
  size_t size_;
};

// A named block used through a private copy instead of a mapping: the same
// file and the same holders as a SharedMemory of that name, so a block made
// with either opens with the other. Setting up a mapping costs a page fault
// for every page touched and more to take it down again; for a block that
// lives for one short exchange, copying its bytes in and out is far cheaper.
// The copy is wiped when the object goes. For the same reason the block's
// file is kept for reuse (zeroed) after its last holder closes it; the block
// is gone all the same: opening it by name fails, and the next create holds
// only the new contents.
class SharedBytes {
 public:
  // Creates `name` holding `contents` (at least one byte) when no live process
  // holds it. When another live process holds it (*already_existed), the
  // block keeps its bytes, extended with zeros to the size of `contents`,
  // and the copy holds what the block holds. Null on failure, as above.
  static std::unique_ptr<SharedBytes> create(std::string_view name, std::vector<uint8_t> contents,
                                             bool* already_existed = nullptr, std::string* error = nullptr);

  // Opens `name` only when a live process holds it and reads the whole block.
  // Null (last_error() 2) when nobody holds it.
  static std::unique_ptr<SharedBytes> open(std::string_view name, std::string* error = nullptr);

  ~SharedBytes();
  SharedBytes(const SharedBytes&) = delete;
  SharedBytes& operator=(const SharedBytes&) = delete;

  // This holder's copy of the block.
  std::span<uint8_t> bytes() { return copy_; }

  // Reads the block into the copy again, or writes the copy to the block.
  // False (last_error() set) when the file cannot be read or written whole.
  bool load();
  bool store();

  // Zeroes the copy and the block, for blocks that carried secrets.
  bool wipe();

 private:
  SharedBytes(std::unique_ptr<objects::HeldObjectFile> file, std::vector<uint8_t> copy);
  std::unique_ptr<objects::HeldObjectFile> file_;
  std::vector<uint8_t> copy_;
};

// A library's shared data section: one T for every process that attaches,
// zero-initialised when no live process has it attached. T must be a plain
// structure that is valid when all its bytes are zero.
template <typename T>
class SharedBlock {
 public:
  explicit SharedBlock(std::string_view name) : memory_(SharedMemory::create(name, sizeof(T))) {}
  bool attached() const { return memory_ != nullptr; }
  T* get() const { return memory_ ? static_cast<T*>(memory_->data()) : nullptr; }
  T* operator->() const { return get(); }

 private:
  std::unique_ptr<SharedMemory> memory_;
};

}  // namespace zyp::platform
