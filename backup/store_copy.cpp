#include "backup/store_copy.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cctype>

#include "platform/atomic_file.h"
#include "platform/dirs.h"
#include "platform/drives.h"
#include "platform/files.h"
#include "zyp/zypprof.h"

namespace zyp::backup {
namespace {

constexpr int kPathSize = 260;
constexpr unsigned kStoreMode = 0600;

bool is_regular_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// "X:" or "X:\..." for drive letter X: the rest after the letter's root.
std::optional<std::string_view> after_drive(std::string_view folder, char letter) {
  if (folder.size() < 2 || std::toupper(static_cast<unsigned char>(folder[0])) != letter || folder[1] != ':')
    return std::nullopt;
  return folder.substr(2);
}

std::string joined(std::string base, std::string_view rest) {
  std::string path = std::move(base);
  for (char c : rest) path.push_back(c == '\\' ? '/' : c);
  return path;
}

void drop_trailing_separators(std::string& path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
}

// Reads the whole file and wipes what it read when it goes.
struct StoreBytes {
  std::optional<std::string> bytes;
  explicit StoreBytes(const std::string& path) : bytes(platform::read_whole_file(path)) {}
  ~StoreBytes() {
    if (bytes) ::explicit_bzero(bytes->data(), bytes->size());
  }
};

}  // namespace

std::string installed_store_path() {
  char install[kPathSize] = {};
  ZYPGetProfileString("General", "InstallPath", "", install, sizeof install);
  std::string folder = install[0] ? install : platform::machine_dir();
  drop_trailing_separators(folder);
  return folder + "/data/" + kStoreFileName;
}

std::optional<std::string> key_disk_store_path() {
  auto folder = platform::key_disk_folder();
  if (!folder) return std::nullopt;
  return store_in_folder(*folder);
}

std::string folder_path(std::string_view folder) {
  std::string path;
  if (auto rest = after_drive(folder, 'A')) {
    path = joined(platform::key_disk_folder().value_or("A:"), *rest);
  } else if (auto rest_c = after_drive(folder, 'C')) {
    path = joined(platform::system_drive_folder(), *rest_c);
  } else {
    path = std::string(folder);
  }
  drop_trailing_separators(path);
  return path;
}

std::string store_in_folder(std::string_view folder) {
  std::string path = folder_path(folder);
  if (path != "/") path += "/";
  return path + kStoreFileName;
}

bool same_path(const std::string& a, const std::string& b) {
  return platform::full_path_name(a) == platform::full_path_name(b);
}

BackupResult write_backup(const std::string& source, const std::string& target, bool overwrite) {
  if (!overwrite && platform::file_exists(target)) return BackupResult::target_exists;
  StoreBytes store(source);
  if (!store.bytes) return BackupResult::failed;
  return platform::write_file_atomically(target, *store.bytes, kStoreMode) ? BackupResult::written
                                                                            : BackupResult::failed;
}

bool write_store_atomically(const std::string& target, std::string_view bytes) {
  return platform::write_file_atomically(target, bytes, kStoreMode);
}

RestoreResult restore_store(const std::string& source, const std::string& target, const StoreWriter& write) {
  if (!is_regular_file(source)) return RestoreResult::no_source;
  StoreBytes store(source);
  if (!store.bytes) return RestoreResult::failed;
  if (platform::file_exists(target) && !platform::copy_file(target, target + kSafetySuffix, false))
    return RestoreResult::failed;
  return write(target, *store.bytes) ? RestoreResult::restored : RestoreResult::failed;
}

}  // namespace zyp::backup
