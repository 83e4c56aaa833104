#pragma once
// The encrypted file's header: filling a record and recognising a header on
// disk. The file-system hook answers its header questions with
// read_header_from_disk, so the library and the hook tell encrypted files
// apart the same way.
#include <cstdint>

#include "zyp/zypfile.h"

namespace zyp::file {

// The fixed 32 bytes that follow HeaderSize in every header.
extern const uint8_t kMagic[32];
// What this library writes as the installation stamp.
extern const uint8_t kStamp[17];

// Sets every field but Reserved; `user` (null: empty) is cut to 15 characters.
void fill_header(FileHeader& header, uint32_t algo, uint32_t key, uint32_t options, const char* user);

// The header of the file at `path` (followed when it is a link):
//   0  an encrypted file of the current layout (368-byte header and the
//      plain length present) or of the earlier one (96 header bytes copied,
//      the rest of the record zero);
//   2  the path does not exist;
//   44 anything else: a plain or truncated file, a folder, a read error.
// `header` is written only when the result is 0.
int read_header_from_disk(const char* path, FileHeader& header);

}  // namespace zyp::file
