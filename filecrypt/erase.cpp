#include "filecrypt/erase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "filecrypt/library_state.h"
#include "platform/files.h"
#include "platform/object_files.h"
#include "platform/ui/ui.h"
#include "zyp/zyptools.h"

namespace zyp::file {
namespace {

// The library's language module strings.
constexpr uint32_t kReadOnlyQuestion = 1;
constexpr uint32_t kReadOnlyCaption = 2;
constexpr uint32_t kOkCancelQuestion = 0x01 | 0x20;
constexpr int kOk = 1;
// Written and shown in steps of this size; every byte is written each pass.
constexpr size_t kChunk = 64 * 1024;

uint8_t random_pattern_byte() {
  uint8_t byte = 0;
  while (::getrandom(&byte, 1, 0) != 1) {
  }
  return static_cast<uint8_t>(byte % 255);
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

bool overwrite_once(int fd, uint64_t size, uint8_t value, const EraseDisplay& display) {
  std::vector<uint8_t> block(static_cast<size_t>(std::min<uint64_t>(kChunk, size)), value);
  if (display.window) ZYPSetProgress(display.window, 0);
  for (uint64_t done = 0; done < size;) {
    size_t part = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
    if (!platform::objects::write_all_at(fd, block.data(), part, done)) return false;
    done += part;
    if (display.window) ZYPSetProgress(display.window, static_cast<float>(done) * display.max_percent / size);
  }
  return ::fdatasync(fd) == 0;
}

int overwrite(const std::string& path, uint32_t passes, const EraseDisplay& display) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kCannotOpen;
  struct stat info {};
  int result = kErased;
  if (::fstat(fd, &info) != 0) {
    result = kNoSize;
  } else if (S_ISREG(info.st_mode)) {
    for (uint32_t pass = 0; pass < passes && result == kErased; ++pass) {
      if (!overwrite_once(fd, static_cast<uint64_t>(info.st_size), pass_byte(pass), display)) result = kWriteFailed;
    }
  }
  ::close(fd);
  return result;
}

// A read-only file is erased without a window; with one, when the user says OK.
bool may_erase_read_only(const std::string& path, const EraseDisplay& display) {
  if (!display.window) return true;
  return ZYPMsgBox(display.window, resources(), kOkCancelQuestion, kReadOnlyCaption, kReadOnlyQuestion,
                   full_path(path).c_str()) == kOk;
}

std::vector<std::string> entries_in_name_order(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(listing);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int erase_folder(const std::string& path, uint32_t passes, const EraseDisplay& display) {
  for (const std::string& name : entries_in_name_order(path)) {
    int result = erase_path(path + "/" + name, passes, display);
    if (result != kErased) return result;
  }
  platform::set_file_attributes(path, platform::kAttributeNormal);
  return platform::remove_folder(path) ? kErased : kCannotDelete;
}

}  // namespace

uint8_t pass_byte(uint32_t pass) {
  constexpr uint8_t kFixed[] = {0x00, 0xAA, 0x55};
  constexpr uint32_t kTableSize = 5;
  uint32_t entry = pass % kTableSize;
  return entry < sizeof kFixed ? kFixed[entry] : random_pattern_byte();
}

int erase_file(const std::string& path, uint32_t passes, const EraseDisplay& display) {
  if (display.window) ZYPSetProgressFilename(display.window, base_name(path).c_str());
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  int result = kErased;
  if (S_ISREG(info.st_mode)) {
    if (platform::get_file_attributes(path) & platform::kAttributeReadOnly) {
      if (!may_erase_read_only(path, display)) return kDeclined;
    }
    platform::set_file_attributes(path, platform::kAttributeNormal);
    result = overwrite(path, passes, display);
  }
  if (!platform::delete_file(path)) return kCannotDelete;
  if (result == kErased && display.window) platform::ui::host().notify_change("delete", path);
  return result;
}

int erase_path(const std::string& path, uint32_t passes, const EraseDisplay& display) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  return S_ISDIR(info.st_mode) ? erase_folder(path, passes, display) : erase_file(path, passes, display);
}

}  // namespace zyp::file
