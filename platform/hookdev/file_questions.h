#pragma once
// The device's answers about files and folders on disk.
#include <string>

#include "zyp/zypfile.h"

namespace zyp::hookdev {

// The header at the start of the file: 0 (current or earlier layout), 2 the
// path does not exist, 44 anything else (plain, unreadable, not a file).
int header_on_disk(const std::string& path, FileHeader& header);

// The folder that holds `path` ("/" for a file at the root).
std::string parent_folder(const std::string& path);

// Whether a process other than this one has `path` open with write access,
// as /proc shows it (processes whose descriptors cannot be read are skipped).
bool open_for_writing_elsewhere(const std::string& path);

}  // namespace zyp::hookdev
