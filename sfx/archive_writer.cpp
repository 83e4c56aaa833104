// Writing an archive: the stub copied over the output, the clear part, then
// the region with every file in 32 KB blocks, encrypted in place at the end.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/file_mapping.h"
#include "platform/files.h"
#include "platform/object_files.h"
#include "platform/ui/ui.h"
#include "sfx/archive_format.h"
#include "sfx/archive_reader.h"
#include "sfx/generator.h"

namespace zyp::sfx {
namespace {

namespace ui = platform::ui;
using platform::objects::UniqueFd;

constexpr uint32_t kErrorBox = ui::kMbOk | ui::kMbIconError;
constexpr size_t kOutputBuffer = 1 << 20;
constexpr uint64_t kLargestFile = 0xFFFFFFFFu;

struct Entry {
  std::string path;
  bool suite_encrypted = false;
  FileHeader header{};
};

// Appends to the output through a buffer; a short write is remembered and
// reported by flush().
class Output {
 public:
  explicit Output(int fd) : fd_(fd) { buffer_.reserve(kOutputBuffer); }

  void bytes(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    buffer_.insert(buffer_.end(), p, p + size);
    written_ += size;
    if (buffer_.size() >= kOutputBuffer) flush();
  }
  void word(uint32_t value) {
    uint8_t le[4];
    put_le32(le, value);
    bytes(le, sizeof le);
  }
  void text_field(const std::string& text) {
    std::vector<uint8_t> field(kTextFieldSize, 0);
    std::copy_n(text.begin(), std::min<size_t>(text.size(), kTextFieldSize - 1), field.begin());
    word(kTextFieldSize);
    bytes(field.data(), field.size());
  }
  bool flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
      ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        failed_ = true;
        break;
      }
      done += static_cast<size_t>(n);
    }
    buffer_.clear();
    return !failed_;
  }
  uint64_t written() const { return written_; }
  bool failed() const { return failed_; }

 private:
  int fd_;
  std::vector<uint8_t> buffer_;
  uint64_t written_ = 0;
  bool failed_ = false;
};

// Reads up to `size` bytes, less only at the end of the file; -1 on error.
ssize_t read_full(int fd, uint8_t* data, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, data + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Generation {
 public:
  Generation(GeneratorContext& context, const Services& services) : context_(context), services_(services) {}

  void run(const std::string& stub) {
    if (!names_can_be_extracted() || !classify_entries()) return;
    if (!platform::copy_file(stub, context_.output, false)) return report(kCannotCopyStub, stub, context_.output);
    if (!valid_key_bits(context_.key_bits)) return report(kCannotEncrypt);
    ArchiveKey key;
    if (!derive_archive_key(context_.password.data(), context_.key_bits, key)) return report(kNoMemoryForKey);
    context_.clear_password();
    std::array<uint8_t, kRecoveryFieldSize> field{};
    if (context_.key_bits != 40 &&
        (!services_.recovery_field || services_.recovery_field(context_.token, context_.algo, key.key(), field) != 0)) {
      return report(kNoRecoveryField);
    }
    UniqueFd fd(::open(context_.output.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return report(kCannotWrite);
    off_t start = ::lseek(fd.get(), 0, SEEK_END);
    if (start < 0) return report(kCannotWrite);
    uint64_t region_start = static_cast<uint64_t>(start) + kClearPartSize;
    if (!write_contents(fd.get(), field)) return;
    encrypt_in_place(fd.get(), region_start, key);
  }

 private:
  // An entry is the file's own name; the extractor refuses names that could
  // not be a file of the target folder, and two files of the same name.
  bool names_can_be_extracted() {
    std::set<std::string> names;
    for (const std::string& path : context_.paths) {
      std::string name = base_name(path);
      if (!entry_name_problem(name).empty()) return report(kNameNotStorable, path), false;
      if (!names.insert(name).second) return report(kNameTwice, name), false;
    }
    return true;
  }

  // Which files the suite had encrypted: those are decrypted for reading.
  bool classify_entries() {
    for (const std::string& path : context_.paths) {
      Entry entry;
      entry.path = path;
      int state = services_.file_attributes ? services_.file_attributes(path.c_str(), &entry.header) : -1;
      if (state == 1) {
        if (!services_.open_session || services_.open_session() != 0) return false;
        state = 0;
      }
      entry.suite_encrypted = state == 0;
      entries_.push_back(entry);
    }
    return true;
  }

  bool write_contents(int fd, const std::array<uint8_t, kRecoveryFieldSize>& field) {
    Output out(fd);
    out.bytes(kStartMarker.data(), kStartMarker.size());
    out.word(context_.key_bits);
    out.text_field(services_.address);
    out.text_field(services_.notice);
    out.bytes(kClearMarker.data(), kClearMarker.size());
    out.bytes(field.data(), field.size());
    out.word(static_cast<uint32_t>(entries_.size()));
    for (Entry& entry : entries_) {
      if (!write_entry(out, entry)) return false;
      if (out.failed()) return report(kCannotWrite), false;
    }
    uint64_t region_size = out.written() - kClearPartSize;
    static const uint8_t kZeros[kCipherBlock] = {};
    out.bytes(kZeros, (kCipherBlock - region_size % kCipherBlock) % kCipherBlock);
    if (!out.flush()) {
      report(kCannotWrite);
      return false;
    }
    return true;
  }

  bool write_entry(Output& out, Entry& entry) {
    const char* path = entry.path.c_str();
    if (entry.suite_encrypted && services_.decipher_file(path, &entry.header) != 0) {
      report(kCannotDecipher, path);
      return false;
    }
    // From here on the file is encrypted again however the entry ends.
    struct EncryptAgain {
      Generation& generation;
      Entry& entry;
      ~EncryptAgain() { generation.encrypt_again(entry); }
    } again{*this, entry};

    UniqueFd in(::open(path, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return report(kCannotOpenFile, path), false;
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) return report(kCannotSize, path), false;
    if (static_cast<uint64_t>(info.st_size) > kLargestFile) return report(kFileTooLarge, path), false;
    uint32_t size = static_cast<uint32_t>(info.st_size);
    std::string name = base_name(entry.path);
    out.bytes(name.c_str(), name.size() + 1);
    out.word(size);
    out.word(block_count_for(size));
    return write_blocks(out, in.get(), size, path);
  }

  bool write_blocks(Output& out, int fd, uint32_t size, const char* path) {
    std::vector<uint8_t> block(kBlockSize), packed(kBlockSize);
    for (uint32_t left = size; left > 0;) {
      uint32_t expected = std::min(left, kBlockSize);
      if (read_full(fd, block.data(), expected) != static_cast<ssize_t>(expected)) {
        return report(kCannotRead, path), false;
      }
      uLongf packed_size = packed.size();
      if (compress(packed.data(), &packed_size, block.data(), expected) == Z_OK) {
        out.word(kFlagCompressed);
        out.word(static_cast<uint32_t>(packed_size));
        out.bytes(packed.data(), packed_size);
      } else {
        out.word(kFlagStored);
        out.word(expected);
        out.bytes(block.data(), expected);
      }
      left -= expected;
    }
    return true;
  }

  void encrypt_again(Entry& entry) {
    if (!entry.suite_encrypted) return;
    if (services_.encipher_file(entry.path.c_str(), &entry.header) != 0) report(kCannotEncipherAgain, entry.path);
  }

  void encrypt_in_place(int fd, uint64_t region_start, const ArchiveKey& key) {
    auto mapping = platform::FileMapping::create(fd, "", 0);
    if (!mapping) return report(kCannotMap);
    auto* data = static_cast<uint8_t*>(mapping->data());
    if (region_start > mapping->size() || !encrypt_region(key, {data + region_start, mapping->size() - region_start})) {
      return report(kCannotEncrypt);
    }
    if (!mapping->flush()) report(kCannotWrite);
  }

  void report(uint32_t text, const std::string& first = {}, const std::string& second = {}) {
    if (services_.message) services_.message(text, kErrorBox, first.c_str(), second.c_str());
  }

  GeneratorContext& context_;
  const Services& services_;
  std::vector<Entry> entries_;
};

}  // namespace

void write_archive(GeneratorContext& context, const Services& services, const std::string& stub) {
  Generation(context, services).run(stub);
  context.clear_password();
}

}  // namespace zyp::sfx
