#pragma once
// The library's questions to the file-system hook about file headers.
//
// The hook client is not part of this build yet: these calls answer the way
// the hook's stand-in device does, from the files on disk, and give 70 when
// the machine setting "General"/"HookDevice" is 0 (the device is absent).
// Once the hook client exists they become its ZYPGetFileHeader,
// ZYPHOOKGetOpenFileHeader and ZYPSetFileHeader.
#include "zyp/zypfile.h"

namespace zyp::file {

// 80 for a null argument, 70 without the device, else read_header_from_disk.
int hook_file_header(const char* path, FileHeader* header);
// The header of an open file: the device knows no more than the file on disk.
int hook_open_file_header(const char* path, FileHeader* header);
// The hook writes no header: 80 for a null argument, else 70.
int hook_set_file_header(const char* path, const FileHeader* header);

}  // namespace zyp::file
