// The thin calls: questions and settings passed to the hook device.
#include <cstring>
#include <string>

#include "hook/hook_state.h"
#include "platform/export_guard.h"
#include "platform/hookdev/protocol.h"
#include "platform/shell_folders.h"
#include "zyp/zyphook.h"
#include "zyp/zypprof.h"

using zyp::platform::guarded;
namespace hookdev = zyp::hookdev;

namespace zyp::hook {
namespace {

// The device's path fields hold 255 characters. A longer path is never cut
// (the device would answer for another file): the device cannot name it.
bool fits_path_field(const char* path) { return std::strlen(path) < hookdev::kPathField; }

// 0x830000C4 with the flag: the header and the device's result (preset 70).
int file_header(const char* path, FileHeader* header, uint32_t from_disk) {
  if (!path || !header) return ZYPHOOK_NULL_ARGUMENT;
  if (!device_available()) return ZYPHOOK_NO_DEVICE;
  if (!fits_path_field(path)) return ZYPHOOK_NOT_FOUND;
  hookdev::FileHeaderQuery query{};
  hookdev::copy_path_field(query.path, path);
  query.from_disk = from_disk;
  hookdev::FileHeaderAnswer answer{};
  answer.result = ZYPHOOK_NO_DEVICE;
  device_control(hookdev::kFileHeader, &query, sizeof query, &answer, sizeof answer);
  std::memcpy(header, &answer.header, sizeof *header);
  return static_cast<int>(answer.result);
}

// A call whose input is one path field and whose output is one result word.
int path_call(uint32_t code, const char* path) {
  char field[hookdev::kPathField];
  hookdev::copy_path_field(field, path);
  uint32_t result = ZYPHOOK_NO_DEVICE;
  device_control(code, field, sizeof field, &result, sizeof result);
  return static_cast<int>(result);
}

void send_exclusion(const char* folder, uint32_t value) {
  hookdev::ExclusionEntry entry{};
  hookdev::copy_path_field(entry.path, folder);
  entry.value = value;
  uint32_t result = 0;
  device_control(hookdev::kAddExclusion, &entry, sizeof entry, &result, sizeof result);
}

}  // namespace
}  // namespace zyp::hook

using namespace zyp::hook;

ZYP_API int ZYPGetFileHeader(const char* path, FileHeader* header) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] { return file_header(path, header, 1); });
}

ZYP_API int ZYPHOOKGetOpenFileHeader(const char* path, FileHeader* header) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] { return file_header(path, header, 0); });
}

ZYP_API int ZYPGetFolderHeader(const char* path, FileHeader* header) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    if (!path || !header) return ZYPHOOK_NULL_ARGUMENT;
    if (!device_available()) return ZYPHOOK_NO_DEVICE;
    if (!fits_path_field(path)) return ZYPHOOK_NOT_FOUND;
    char field[hookdev::kPathField];
    hookdev::copy_path_field(field, path);
    hookdev::FolderHeaderAnswer answer{};
    answer.result = ZYPHOOK_NO_DEVICE;
    device_control(hookdev::kFolderHeader, field, sizeof field, &answer, sizeof answer);
    std::memcpy(header, &answer.header, sizeof *header);
    return static_cast<int>(answer.result);
  });
}

ZYP_API int ZYPSetFileHeader(const char* path, const FileHeader* header) {
  return !path || !header ? ZYPHOOK_NULL_ARGUMENT : ZYPHOOK_NO_DEVICE;
}

ZYP_API int ZYPSetOpenedFileInfo(const char* path, const FileHeader* header) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    if (!path || !header) return ZYPHOOK_NULL_ARGUMENT;
    if (!device_available()) return ZYPHOOK_NO_DEVICE;
    if (!fits_path_field(path)) return ZYPHOOK_CALLER_PROCESSES;
    hookdev::OpenedFileInfo info{};
    hookdev::copy_path_field(info.path, path);
    std::memcpy(&info.header, header, sizeof info.header);
    uint32_t result = ZYPHOOK_NO_DEVICE;
    device_control(hookdev::kSetOpenedFileInfo, &info, sizeof info, &result, sizeof result);
    return static_cast<int>(result);
  });
}

ZYP_API int ZYPHOOKAllowEncrypt(const char* path) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    if (!path) return ZYPHOOK_NULL_ARGUMENT;
    if (!device_available()) return ZYPHOOK_NO_DEVICE;
    if (!fits_path_field(path)) return ZYPHOOK_EXCLUDED;
    return path_call(hookdev::kAllowEncrypt, path);
  });
}

ZYP_API int ZYPSetAPICaller(uint32_t flag) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    if (!device_available()) return ZYPHOOK_NO_DEVICE;
    device_control(flag == 1 ? hookdev::kApiCallerOn : hookdev::kApiCallerOff, nullptr, 0, nullptr, 0);
    return 0;
  });
}

ZYP_API int ZYPHOOKRefreshRestriction(void) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    if (!device_available()) return ZYPHOOK_NO_DEVICE;
    device_control(hookdev::kClearExclusions, nullptr, 0, nullptr, 0);
    char name[256];
    uint32_t value = 0;
    for (uint32_t index = 0;; ++index) {
      std::memset(name, 0, sizeof name);
      value = 0;
      if (!ZYPEnumUSProfileValue("NoEncryption", index, name, sizeof name, &value, sizeof value)) break;
      send_exclusion(name, value);
    }
    send_exclusion(zyp::platform::desktop_folder().c_str(), 0);
    return 0;
  });
}

ZYP_API int ZYPGetHookState(void) {
  return guarded(ZYPHOOK_NO_DEVICE, [&] {
    uint32_t state = ZYPHOOK_NO_DEVICE;
    device_control(hookdev::kServerState, nullptr, 0, &state, sizeof state);
    return static_cast<int>(state);
  });
}
