// The permission checks asked before a folder or file is encrypted,
// decrypted or erased.
#include <optional>
#include <string>

#include "platform/drives.h"
#include "platform/export_guard.h"
#include "platform/files.h"
#include "platform/shell_folders.h"
#include "zyp/zyphook.h"
#include "zyp/zypfile.h"
#include "zyp/zypprof.h"
#include "zyp/zypsess.h"

using zyp::platform::guarded;

namespace {

constexpr int kPrimaryToken = -1;
constexpr int kNoValue = -1;
constexpr uint32_t kModeEncrypt = 0;
constexpr uint32_t kModeDecrypt = 1;
constexpr char kUserExclusions[] = "NoEncryption";
constexpr char kMachineExclusions[] = "Private\\NoEncryption";

// A path given by the caller as the checks compare it: absolute and folded.
std::string full_path(const char* path) { return zyp::platform::full_path_name(path); }

bool is_start_menu(const std::string& path) {
  return path == zyp::platform::full_path_name(zyp::platform::start_menu_folder());
}

// Drive roots, network paths, CD-ROMs and the Start Menu are never encrypted
// as folders.
bool is_refused_folder(const std::string& path) {
  return zyp::platform::is_mount_point_or_root(path) || zyp::platform::is_network_path(path) ||
         zyp::platform::is_cdrom_path(path) || is_start_menu(path);
}

// What one exclusion value says at `level` folders above the asked one:
// 0 allows, 1 refuses the whole tree, another number refuses only the folder
// itself and is passed over above it; no value is passed over too.
std::optional<int> exclusion_decision(int value, int level) {
  if (value == kNoValue) return std::nullopt;
  if (value == 0) return ZYPFILE_OK;
  if (value == 1 || level == 0) return ZYPFILE_NOT_ALLOWED;
  return std::nullopt;
}

// Up from the folder to the Desktop, which ends the walk; the user's list
// first, the machine's when the user's says nothing for that folder.
int exclusion_walk(std::string path) {
  const std::string desktop = zyp::platform::full_path_name(zyp::platform::desktop_folder());
  for (int level = 0;; ++level) {
    if (path == desktop) return ZYPFILE_OK;
    std::optional<int> decision =
        exclusion_decision(ZYPGetUSProfileInt(kUserExclusions, path.c_str(), kNoValue), level);
    if (!decision) decision = exclusion_decision(ZYPGetProfileInt(kMachineExclusions, path.c_str(), kNoValue), level);
    if (decision) return *decision;
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return ZYPFILE_OK;
    path.resize(slash);
  }
}

int folder_decryption_permission(const std::string& folder) {
  FileHeader mark{};
  int result = ZYPGetFolderAttributes(folder.c_str(), &mark);
  if (result == ZYPFILE_OK || result == ZYPFILE_NO_SESSION) return ZYPAskValidHeader(&mark);
  return result == ZYPFILE_NOT_ALLOWED ? ZYPFILE_NOT_ALLOWED : ZYPFILE_NOT_ENCRYPTED;
}

int folder_encryption_permission(const std::string& folder) {
  FileHeader mark{};
  switch (ZYPGetFolderAttributes(folder.c_str(), &mark)) {
    case ZYPFILE_OK:
      return ZYPFILE_ALREADY_MARKED;
    case ZYPFILE_NO_SESSION:
      return ZYPFILE_NO_SESSION;
    case ZYPFILE_NOT_ALLOWED:
      return ZYPFILE_NOT_ALLOWED;
    default:
      return exclusion_walk(folder);
  }
}

}  // namespace

ZYP_API int ZYPAskAutorisation(const char* folder, uint32_t mode, uint32_t /*reserved*/) {
  return guarded(int{ZYPFILE_NOT_ALLOWED}, [&] {
    if (!folder) return ZYPFILE_BAD_PATH;
    std::string path = full_path(folder);
    if (is_refused_folder(path)) return ZYPFILE_NOT_ALLOWED;
    if (mode == kModeDecrypt) return folder_decryption_permission(path);
    if (mode == kModeEncrypt) return folder_encryption_permission(path);
    return ZYPFILE_BAD_PATH;
  });
}

ZYP_API int ZYPAllowEncryption(const char* file) {
  return guarded(int{ZYPFILE_NOT_ALLOWED}, [&] {
    if (!file) return ZYPFILE_BAD_PATH;
    std::string path = full_path(file);
    if (zyp::platform::is_cdrom_path(path)) return ZYPFILE_NOT_ALLOWED;
    int result = ZYPHOOKAllowEncrypt(path.c_str());
    if (result == ZYPFILE_OK && ZYPGetSessionState(kPrimaryToken) != 0) return ZYPFILE_NO_SESSION;
    return result;
  });
}

ZYP_API int ZYPAllowDecryption(const char* file) {
  return guarded(int{ZYPFILE_NOT_ENCRYPTED}, [&] {
    if (!file) return ZYPFILE_BAD_PATH;
    uint32_t attributes = zyp::platform::get_file_attributes(file);
    if (attributes == zyp::platform::kInvalidFileAttributes || (attributes & zyp::platform::kAttributeDirectory))
      return ZYPFILE_OK;
    ZYPSetAPICaller(1);
    FileHeader header{};
    int result = ZYPGetFileAttributes(file, &header);
    ZYPSetAPICaller(0);
    if (result != ZYPFILE_OK && result != ZYPFILE_NO_SESSION) return ZYPFILE_NOT_ENCRYPTED;
    return ZYPAskValidHeader(&header);
  });
}

ZYP_API int ZYPAllowSecureErase(const char* path) {
  return guarded(int{ZYPFILE_ERASE_NOT_ALLOWED}, [&] {
    if (!path) return ZYPFILE_BAD_PATH;
    std::string full = full_path(path);
    if (zyp::platform::is_cdrom_path(full) || is_start_menu(full)) return ZYPFILE_ERASE_NOT_ALLOWED;
    return ZYPFILE_OK;
  });
}
