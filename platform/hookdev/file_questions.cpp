#include "platform/hookdev/file_questions.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>

#include "filecrypt/header_format.h"
#include "platform/atomic_file.h"

namespace zyp::hookdev {
namespace {

bool is_decimal(std::string_view text) { return !text.empty() && text.find_first_not_of("0123456789") == text.npos; }

std::optional<std::string> read_link(const std::string& path) {
  char target[4096];
  ssize_t size = ::readlink(path.c_str(), target, sizeof target);
  if (size <= 0 || static_cast<size_t>(size) >= sizeof target) return std::nullopt;
  return std::string(target, static_cast<size_t>(size));
}

// The access mode of descriptor `fd` of process `pid`, from its "flags:" line (octal).
std::optional<int> descriptor_access(const std::string& pid, const std::string& fd) {
  std::optional<std::string> info = platform::read_whole_file("/proc/" + pid + "/fdinfo/" + fd);
  if (!info) return std::nullopt;
  size_t at = info->find("flags:");
  if (at == std::string::npos) return std::nullopt;
  return static_cast<int>(std::strtol(info->c_str() + at + 6, nullptr, 8)) & O_ACCMODE;
}

bool process_writes(const std::string& pid, const std::string& path) {
  std::string folder = "/proc/" + pid + "/fd";
  DIR* fds = ::opendir(folder.c_str());
  if (!fds) return false;
  bool writes = false;
  while (dirent* entry = ::readdir(fds)) {
    if (!is_decimal(entry->d_name)) continue;
    if (read_link(folder + "/" + entry->d_name) != path) continue;
    std::optional<int> access = descriptor_access(pid, entry->d_name);
    if (access && *access != O_RDONLY) {
      writes = true;
      break;
    }
  }
  ::closedir(fds);
  return writes;
}

}  // namespace

int header_on_disk(const std::string& path, FileHeader& header) {
  return file::read_header_from_disk(path.c_str(), header);
}

std::string parent_folder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool open_for_writing_elsewhere(const std::string& given) {
  // The descriptors name the file by its resolved path.
  char* resolved = ::realpath(given.c_str(), nullptr);
  if (!resolved) return false;
  std::string path(resolved);
  std::free(resolved);
  DIR* processes = ::opendir("/proc");
  if (!processes) return false;
  std::string self = std::to_string(::getpid());
  bool found = false;
  while (dirent* entry = ::readdir(processes)) {
    if (!is_decimal(entry->d_name) || self == entry->d_name) continue;
    if (process_writes(entry->d_name, path)) {
      found = true;
      break;
    }
  }
  ::closedir(processes);
  return found;
}

}  // namespace zyp::hookdev
