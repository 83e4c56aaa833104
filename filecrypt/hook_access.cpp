#include "filecrypt/hook_access.h"

#include "zyp/zyphook.h"

namespace zyp::file {

int hook_file_header(const char* path, FileHeader* header) { return ZYPGetFileHeader(path, header); }

int hook_open_file_header(const char* path, FileHeader* header) { return ZYPHOOKGetOpenFileHeader(path, header); }

int hook_set_file_header(const char* path, const FileHeader* header) { return ZYPSetFileHeader(path, header); }

}  // namespace zyp::file
