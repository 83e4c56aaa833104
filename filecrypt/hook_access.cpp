#include "filecrypt/hook_access.h"

#include "filecrypt/header_format.h"
#include "zyp/zypprof.h"

namespace zyp::file {
namespace {

bool hook_device_present() { return ZYPGetProfileDWord("General", "HookDevice", 1) != 0; }

}  // namespace

int hook_file_header(const char* path, FileHeader* header) {
  if (!path || !header) return ZYPFILE_NULL_ARGUMENT;
  if (!hook_device_present()) return ZYPFILE_NO_HOOK;
  return read_header_from_disk(path, *header);
}

int hook_open_file_header(const char* path, FileHeader* header) { return hook_file_header(path, header); }

int hook_set_file_header(const char* path, const FileHeader* header) {
  if (!path || !header) return ZYPFILE_NULL_ARGUMENT;
  return ZYPFILE_NO_HOOK;
}

}  // namespace zyp::file
