#pragma once
// The library's questions to the file-system hook about file headers: the
// hook client's calls (zyp/zyphook.h), which answer 70 while the hook device
// is absent (the machine setting "General"/"HookDevice" is 0).
#include "zyp/zypfile.h"

namespace zyp::file {

// ZYPGetFileHeader: 0, 2 for a missing path, 44 for anything that is not an
// encrypted file, 70 without the device, 80 for a null argument.
int hook_file_header(const char* path, FileHeader* header);
// ZYPHOOKGetOpenFileHeader: the target recorded for the open file, else the same.
int hook_open_file_header(const char* path, FileHeader* header);
// ZYPSetFileHeader: the hook writes no header: 80 for a null argument, else 70.
int hook_set_file_header(const char* path, const FileHeader* header);

}  // namespace zyp::file
