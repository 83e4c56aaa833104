#include "filecrypt/erase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <vector>

#include "platform/files.h"
#include "platform/object_files.h"

namespace zyp::file {
namespace {

constexpr int kErased = 0;
constexpr int kMissing = 2;
constexpr int kCannotOpen = 12;
constexpr int kWriteFailed = 14;
constexpr int kNoSize = 17;
constexpr int kCannotDelete = 19;
constexpr size_t kChunk = 64 * 1024;

uint8_t random_pattern_byte() {
  uint8_t byte = 0;
  while (::getrandom(&byte, 1, 0) != 1) {
  }
  return static_cast<uint8_t>(byte % 255);
}

bool overwrite_once(int fd, uint64_t size, uint8_t value) {
  std::vector<uint8_t> block(kChunk, value);
  for (uint64_t done = 0; done < size;) {
    size_t part = static_cast<size_t>(std::min<uint64_t>(kChunk, size - done));
    if (!platform::objects::write_all_at(fd, block.data(), part, done)) return false;
    done += part;
  }
  return ::fdatasync(fd) == 0;
}

int overwrite(const std::string& path, uint32_t passes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return kCannotOpen;
  struct stat info {};
  int result = kErased;
  if (::fstat(fd, &info) != 0) {
    result = kNoSize;
  } else if (S_ISREG(info.st_mode)) {
    std::array<uint8_t, 5> patterns{0x00, 0xAA, 0x55, 0, 0};
    for (uint32_t pass = 0; pass < passes && result == kErased; ++pass) {
      patterns[3] = random_pattern_byte();
      patterns[4] = random_pattern_byte();
      if (!overwrite_once(fd, static_cast<uint64_t>(info.st_size), patterns[pass % patterns.size()])) {
        result = kWriteFailed;
      }
    }
  }
  ::close(fd);
  return result;
}

int erase_folder(const std::string& path, uint32_t passes) {
  DIR* folder = ::opendir(path.c_str());
  if (!folder) return kCannotOpen;
  int result = kErased;
  std::vector<std::string> entries;
  while (dirent* entry = ::readdir(folder)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(path + "/" + name);
  }
  ::closedir(folder);
  for (const std::string& entry : entries) {
    result = erase_path(entry, passes);
    if (result != kErased) return result;
  }
  platform::set_file_attributes(path, platform::kAttributeNormal);
  return platform::remove_folder(path) ? kErased : kCannotDelete;
}

}  // namespace

int erase_file(const std::string& path, uint32_t passes) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  int result = kErased;
  if (S_ISREG(info.st_mode)) {
    platform::set_file_attributes(path, platform::kAttributeNormal);
    result = overwrite(path, passes);
  }
  if (::unlink(path.c_str()) != 0) result = kCannotDelete;
  return result;
}

int erase_path(const std::string& path, uint32_t passes) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return kMissing;
  return S_ISDIR(info.st_mode) ? erase_folder(path, passes) : erase_file(path, passes);
}

}  // namespace zyp::file
