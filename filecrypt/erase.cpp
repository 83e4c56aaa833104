#include "filecrypt/erase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/files.h"
#include "platform/object_files.h"
#include "platform/random.h"
#include "platform/ui/ui.h"
#include "zyp/zyptools.h"

namespace zyp::file {
namespace {

// The library's language module strings.
constexpr uint32_t kReadOnlyQuestion = 1;
constexpr uint32_t kReadOnlyCaption = 2;
constexpr uint32_t kOkCancelQuestion = platform::ui::kMbOkCancel | platform::ui::kMbIconQuestion;
// Each pass writes the file in blocks of this size from one buffer filled
// with the pass's byte; the bytes on disk are the same as with any block size.
constexpr size_t kBlockSize = 1 << 20;

// 0 to 254, as the pattern table has always held (never 255).
uint8_t random_pattern_byte() {
  uint8_t byte = 0xFF;
  while (byte == 0xFF) {
    // The kernel's generator fails only where it does not exist; a zero pass
    // still overwrites the file.
    if (!platform::random_bytes(&byte, 1)) return 0;
  }
  return byte;
}

std::string base_name(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string full_path(const std::string& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  return error ? path : absolute.string();
}

// Shows `done` of `size` bytes as a share of the file's maximum percentage,
// at most a few times a second; `last` (the file's end) is always shown.
void show_progress(EraseContext& context, uint64_t done, uint64_t size, bool last = false) {
  if (!context.window) return;
  if (!context.throttle.due(ProgressThrottle::Clock::now()) && !last) return;
  double share = size ? static_cast<double>(done) / static_cast<double>(size) : 1.0;
  ZYPSetProgress(context.window, static_cast<float>(share * context.max_percent));
}

// One pass over the whole file, then forced to the disk.
bool overwrite_once(int fd, uint64_t size, std::vector<uint8_t>& block, uint8_t value, EraseContext& context) {
  std::fill(block.begin(), block.end(), value);
  show_progress(context, 0, size);
  for (uint64_t done = 0; done < size;) {
    size_t part = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
    if (!platform::objects::write_all_at(fd, block.data(), part, done)) return false;
    done += part;
    show_progress(context, done, size);
  }
  return ::fdatasync(fd) == 0;
}

int overwrite(const std::string& path, EraseContext& context) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kCannotOpen;
  struct stat info {};
  int result = kErased;
  if (::fstat(fd, &info) != 0) {
    result = kNoSize;
  } else if (S_ISREG(info.st_mode) && context.passes > 0) {
    uint64_t size = static_cast<uint64_t>(info.st_size);
    std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(kBlockSize, size)));
    for (uint32_t pass = 0; pass < context.passes && result == kErased; ++pass) {
      uint8_t byte = pass_byte(pass);
      if (!overwrite_once(fd, size, block, byte, context)) {
        result = kWriteFailed;
      } else if (context.after_pass) {
        context.after_pass(pass, byte);
      }
    }
    if (result == kErased) show_progress(context, size, size, true);
  }
  ::close(fd);
  return result;
}

// A read-only file is erased without a window; with one, when the user says OK.
bool may_erase_read_only(const std::string& path, const EraseContext& context) {
  if (!context.window) return true;
  return ZYPMsgBox(context.window, context.strings, kOkCancelQuestion, kReadOnlyCaption, kReadOnlyQuestion,
                   full_path(path).c_str()) == platform::ui::kIdOk;
}

int erase_folder(const std::string& path, EraseContext& context) {
  for (const std::string& name : platform::entry_names(path)) {
    std::string item = path + "/" + name;
    int result = context.erase_entry ? context.erase_entry(item, context) : erase_path(item, context);
    if (result != kErased) return result;
  }
  platform::set_file_attributes(path, platform::kAttributeNormal);
  return platform::remove_folder(path) ? kErased : kCannotDelete;
}

}  // namespace

bool ProgressThrottle::due(Clock::time_point now) {
  if (shown_ && now - last_ < interval_) return false;
  shown_ = true;
  last_ = now;
  return true;
}

uint8_t pass_byte(uint32_t pass) {
  constexpr uint8_t kFixed[] = {0x00, 0xAA, 0x55};
  constexpr uint32_t kTableSize = 5;
  uint32_t entry = pass % kTableSize;
  return entry < sizeof kFixed ? kFixed[entry] : random_pattern_byte();
}

int erase_file(const std::string& path, EraseContext& context) {
  if (context.window) ZYPSetProgressFilename(context.window, base_name(path).c_str());
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  // A link's attributes are those of what it names, which stays as it is.
  bool has_attributes = !S_ISLNK(info.st_mode) && !S_ISDIR(info.st_mode);
  if (has_attributes && (platform::get_file_attributes(path) & platform::kAttributeReadOnly)) {
    if (!may_erase_read_only(path, context)) return kDeclined;
    platform::set_file_attributes(path, platform::kAttributeNormal);
  }
  int result = S_ISREG(info.st_mode) ? overwrite(path, context) : kErased;
  if (!platform::delete_file(path)) return kCannotDelete;
  if (result == kErased && context.window) platform::ui::host().notify_change("delete", path);
  return result;
}

int erase_path(const std::string& path, EraseContext& context) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  return S_ISDIR(info.st_mode) ? erase_folder(path, context) : erase_file(path, context);
}

}  // namespace zyp::file
